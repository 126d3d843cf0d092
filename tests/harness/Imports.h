#pragma once

#include <windows.h>

// Calls a program makes to system DLLs, redirected through its own import
// tables: to record them, or to give answers the test machine cannot give.
namespace harness {

// The slot through which this program calls `function` of `dll`, in its
// ordinary or its delay-load import table; null if it imports no such function.
void** ImportSlot(const char* dll, const char* function);

// Makes the program's calls through `slot` go to `replacement`; returns what
// they reached before.
void* Redirect(void** slot, void* replacement);

// The program's calls of `function` of `dll` go to `replacement` while this
// object lives; `original` is set to what they reached before. False when the
// program imports no such function.
template <typename Function>
class Redirected {
 public:
  Redirected(const char* dll, const char* function, Function replacement, Function& original)
      : slot_(ImportSlot(dll, function)) {
    if (slot_ == nullptr) return;
    previous_ = reinterpret_cast<Function>(Redirect(slot_, reinterpret_cast<void*>(replacement)));
    original = previous_;
  }
  Redirected(const Redirected&) = delete;
  Redirected& operator=(const Redirected&) = delete;
  ~Redirected() {
    if (slot_ != nullptr) Redirect(slot_, reinterpret_cast<void*>(previous_));
  }
  explicit operator bool() const { return slot_ != nullptr; }

 private:
  void** slot_;
  Function previous_ = nullptr;
};

}  // namespace harness
