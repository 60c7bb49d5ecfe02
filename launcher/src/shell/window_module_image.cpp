// The window module's file, carried inside the executable so that the
// launcher stays one file (a self-update replaces exactly one) while GTK and
// WebKitGTK load only for a window. The build names the file.
#include "shell/window_shell.h"

#ifndef VANTOR_WINDOW_MODULE_FILE
#error "VANTOR_WINDOW_MODULE_FILE must name the built window module"
#endif

__asm__(".pushsection .rodata.vantor_window_module, \"a\"\n"
        ".balign 64\n"
        ".globl vantor_window_module_begin\n"
        ".hidden vantor_window_module_begin\n"
        "vantor_window_module_begin:\n"
        ".incbin \"" VANTOR_WINDOW_MODULE_FILE "\"\n"
        ".globl vantor_window_module_end\n"
        ".hidden vantor_window_module_end\n"
        "vantor_window_module_end:\n"
        ".popsection\n");

extern "C" const char vantor_window_module_begin[];
extern "C" const char vantor_window_module_end[];

namespace launcher {

std::string_view windowModuleImage() {
  return {vantor_window_module_begin,
          static_cast<std::size_t>(vantor_window_module_end - vantor_window_module_begin)};
}

}  // namespace launcher
