#include "Runtime.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kestrun {

#ifdef _WIN32

Runtime Runtime::load()
{
    HMODULE handle = LoadLibraryW(L"Orvik\\python\\python311.dll");
    if (handle == nullptr)
        throw std::runtime_error("Unable to load python311.dll");
    return Runtime(reinterpret_cast<void*>(handle));
}

void* Runtime::find(const char* name) const
{
    FARPROC entry = GetProcAddress(static_cast<HMODULE>(handle_), name);
    if (entry == nullptr)
        throw std::runtime_error(std::string("Could not get function ") + name + " from DLL");
    return reinterpret_cast<void*>(entry);
}

#else

Runtime Runtime::load()
{
    // RTLD_GLOBAL: extension modules the script imports (numpy, alignopt) are
    // not linked against the runtime and resolve its symbols from the process.
    void* handle = dlopen("Orvik/python/libpython3.11.so", RTLD_NOW | RTLD_GLOBAL);
    if (handle == nullptr)
        throw std::runtime_error("Unable to load libpython3.11.so");
    return Runtime(handle);
}

void* Runtime::find(const char* name) const
{
    void* entry = dlsym(handle_, name);
    if (entry == nullptr)
        throw std::runtime_error(std::string("Could not get function ") + name + " from DLL");
    return entry;
}

#endif

} // namespace kestrun
