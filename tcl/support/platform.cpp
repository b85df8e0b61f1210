// What only the operating system can tell. Built and tested on Linux; the macOS and Windows
// branches are written for those systems and untested.
#include "platform.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <dlfcn.h>
#else
#include <link.h>
#endif

#include <cstdint>
#include <cstring>

namespace ortan {

#if defined(_WIN32)

Ref file_holding(const void *address) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return Ref::borrow(Py_None);
    wchar_t path[32768];
    const DWORD n = GetModuleFileNameW(module, path, sizeof path / sizeof path[0]);
    if (n == 0 || n >= sizeof path / sizeof path[0])
        return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_FromWideChar(path, static_cast<Py_ssize_t>(n)));
}

#elif defined(__APPLE__)

Ref file_holding(const void *address) {
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname)
        return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_DecodeFSDefault(info.dli_fname));
}

#else

namespace {

struct Search {
    uintptr_t address;
    const char *name; // the file's name once found
};

// dl_iterate_phdr's callback: stops (1) at the object one of whose loaded segments holds the
// address.
int find_object(struct dl_phdr_info *info, size_t, void *data) {
    auto *search = static_cast<Search *>(data);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const auto &segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD)
            continue;
        const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        if (search->address >= start && search->address - start < segment.p_memsz) {
            search->name = info->dlpi_name ? info->dlpi_name : "";
            return 1;
        }
    }
    return 0;
}

} // namespace

// dl_iterate_phdr rather than dladdr: it is in every glibc's libc itself (dladdr moved there only
// in 2.34), and it names the file even where a symbol lookup would not.
Ref file_holding(const void *address) {
    Search search{reinterpret_cast<uintptr_t>(address), nullptr};
    if (!dl_iterate_phdr(find_object, &search))
        return Ref::borrow(Py_None);
    return Ref::steal(PyUnicode_DecodeFSDefault(search.name));
}

#endif

} // namespace ortan
