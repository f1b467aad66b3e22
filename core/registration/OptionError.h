#pragma once

#include <stdexcept>

namespace alignopt {

// A mask, an initial matrix or an image that a registration with options
// refuses; the message names the argument and says what is wrong with it.
class OptionError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

} // namespace alignopt
