// Replaces single entries of a loaded module's import address table.
#pragma once

#include <windows.h>

namespace zt {

// Returns the address of the IAT slot through which `module` calls
// `dll!function`, or null if the module does not import it by name.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);

// Patches one slot for its lifetime and restores the previous value after.
// Patches nest: a later patch of the same slot chains to the earlier one
// through original(), and they must be destroyed in reverse order.
class ImportPatch {
public:
    ImportPatch(HMODULE module, const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot_ != nullptr; }
    void* original() const { return original_; }
    template <typename F>
    F original_as() const { return reinterpret_cast<F>(original_); }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// A replacement for `function` as a slot value. Both must have one type,
// calling convention included: a 32-bit WINAPI function pops its own
// arguments, so a replacement of another convention corrupts the stack.
template <typename F>
void* Replacement(F* /*function*/, F* replacement)
{
    return reinterpret_cast<void*>(replacement);
}

// Writes one pointer into a (possibly read-only) IAT slot.
void WriteSlot(void** slot, void* value);

}  // namespace zt
