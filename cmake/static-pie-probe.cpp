// Built by the configure step with each way of linking against musl that
// it tries. Run, it tells what it became: 0 a static PIE, 2 a static
// binary at a fixed address, 1 a binary that needs a dynamic loader.
#include <elf.h>
#include <link.h>
#include <sys/auxv.h>

int main() {
  const auto *headers =
      reinterpret_cast<const ElfW(Phdr) *>(getauxval(AT_PHDR));
  const unsigned long count = getauxval(AT_PHNUM);
  bool position_independent = false;
  for (unsigned long i = 0; i < count; ++i) {
    if (headers[i].p_type == PT_INTERP) {
      return 1;
    }
    // A position-independent executable is linked to load at address 0.
    if (headers[i].p_type == PT_LOAD && headers[i].p_vaddr == 0) {
      position_independent = true;
    }
  }
  return position_independent ? 0 : 2;
}
