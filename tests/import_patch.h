// import_patch.h: points a Windows program's import of a system function at a function of the
// tests', as a shim does on Linux through the linker.
#pragma once

#include <windows.h>

#include <cstring>

// Points this program's import of `function` at `replacement` and returns the address it had, or
// nullptr when the program imports no such function by name.
template <typename Function>
Function ReplaceImport(const char* function, Function replacement) {
    BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* address = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++address) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName =
                reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection = 0;
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, PAGE_READWRITE,
                           &protection);
            const auto previous = reinterpret_cast<Function>(address->u1.Function);
            address->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&address->u1.Function, sizeof address->u1.Function, protection,
                           &protection);
            return previous;
        }
    }
    return nullptr;
}
