// kestrun: starts the application by running its start-up script in the
// interpreter runtime that ships in the application's folder.

#include "Runtime.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

#ifdef _WIN32
constexpr const char* scriptPath = "Orvik\\boot.pyw";
#else
constexpr const char* scriptPath = "Orvik/boot.pyw";
#endif

// Status the interpreter itself ends with when a script dies of an uncaught
// exception, and when it cannot flush its output streams at shutdown.
constexpr int scriptFailed = 1;
constexpr int finalizeFailed = 120;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct BufferFree {
    void operator()(char* buffer) const { std::free(buffer); }
};

using ScriptText = std::unique_ptr<char, BufferFree>;

std::runtime_error fileError(const char* what)
{
    return std::runtime_error(std::string(what) + scriptPath);
}

// The whole script as stored (no newline translation), zero-terminated: the
// interpreter takes C text, so a zero byte inside the file ends it there.
ScriptText readScript()
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(scriptPath, "rb"));
    if (!file)
        throw fileError("Could not open file: ");
    // Some platforms open a directory for reading; only a read tells.
    if (std::fgetc(file.get()) == EOF && std::ferror(file.get()))
        throw fileError("Could not read file: ");

    // The length is a 32-bit signed value with room for the terminator;
    // ftell fails (-1) on streams that cannot seek.
    long size = -1;
    if (std::fseek(file.get(), 0, SEEK_END) == 0)
        size = std::ftell(file.get());
    if (size < 0 || std::fseek(file.get(), 0, SEEK_SET) != 0)
        throw fileError("Could not determine the size of file: ");
    if (size > INT32_MAX - 1)
        throw fileError("File too large: ");

    const auto length = static_cast<std::size_t>(size);
    ScriptText text(static_cast<char*>(std::malloc(length + 1)));
    if (!text)
        throw fileError("Could not allocate memory for file: ");
    if (std::fread(text.get(), 1, length, file.get()) != length)
        throw fileError("Could not read file: ");
    file.reset();
    text.get()[length] = '\0';
    return text;
}

int run()
{
    const kestrun::Runtime runtime = kestrun::Runtime::load();
    runtime.bind<kestrun::InitializeEx>("Py_InitializeEx")(0);
    const auto runString = runtime.bind<kestrun::RunSimpleString>("PyRun_SimpleString");
    // Looked up for presence only: a runtime without it is not the expected one.
    runtime.bind<kestrun::RunSimpleFile>("PyRun_SimpleFile");
    const auto finalize = runtime.bind<kestrun::FinalizeEx>("Py_FinalizeEx");

    int status = 0;
    {
        const ScriptText text = readScript();
        // A failing script prints its own traceback; sys.exit(n) inside it
        // ends the process with n before this call returns.
        if (runString(text.get()) != 0)
            status = scriptFailed;
    }
    // Shut the interpreter down as it does after running any script: its
    // buffered output, unclosed files and exit handlers are lost otherwise.
    if (finalize() < 0)
        status = finalizeFailed;
    return status;
}

} // namespace

int main()
{
    try {
        return run();
    } catch (const std::runtime_error& error) {
        std::cout << "Giving up: " << error.what() << std::endl;
        return 1;
    }
}
