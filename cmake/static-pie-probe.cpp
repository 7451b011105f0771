// Built by the configure step with each way of linking against musl that
// it tries. Run (through an emulator, for another architecture), it says
// what it became: "static-pie", "static" (at a fixed address) or "dynamic"
// (it needs a dynamic loader). A probe that did not run says none of them.
#include <elf.h>
#include <link.h>
#include <stdio.h>
#include <sys/auxv.h>

namespace {

const char *kind() {
  const auto *headers =
      reinterpret_cast<const ElfW(Phdr) *>(getauxval(AT_PHDR));
  const unsigned long count = getauxval(AT_PHNUM);
  bool position_independent = false;
  for (unsigned long i = 0; i < count; ++i) {
    if (headers[i].p_type == PT_INTERP) {
      return "dynamic";
    }
    // A position-independent executable is linked to load at address 0.
    if (headers[i].p_type == PT_LOAD && headers[i].p_vaddr == 0) {
      position_independent = true;
    }
  }
  return position_independent ? "static-pie" : "static";
}

}  // namespace

int main() { return puts(kind()) == EOF ? 1 : 0; }
