#pragma once

#include <stdexcept>
#include <string>

namespace kestrun {

// The interpreter runtime, loaded by a path relative to the application's
// folder. It is never unloaded: the interpreter lives until the process ends.
class Runtime {
public:
    // Loads the runtime library; throws std::runtime_error when it cannot.
    static Runtime load();

    // The exported entry `name` as a function of type Fn; throws
    // "Could not get function <name> from DLL" when the library lacks it.
    template <typename Fn>
    Fn bind(const char* name) const
    {
        return reinterpret_cast<Fn>(find(name));
    }

private:
    explicit Runtime(void* handle) : handle_(handle) {}
    void* find(const char* name) const;

    void* handle_;
};

// Signatures of the embedding entries the launcher uses.
using InitializeEx = void (*)(int);
using RunSimpleString = int (*)(const char*);
using RunSimpleFile = int (*)(void*, const char*);
using FinalizeEx = int (*)();

} // namespace kestrun
