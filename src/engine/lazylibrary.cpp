#include "engine/lazylibrary.h"

#include <dlfcn.h>

namespace veltrin {

LazyLibrary::LazyLibrary(const char* soname) : soname_(soname) {
    handle_ = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        error_ = soname_ + " cannot be loaded: " + (why != nullptr ? why : "unknown reason");
    }
}

void* LazyLibrary::Symbol(const char* name) {
    if (handle_ == nullptr) return nullptr;
    void* symbol = ::dlsym(handle_, name);
    if (symbol == nullptr) error_ = soname_ + " has no " + name;
    return symbol;
}

}  // namespace veltrin
