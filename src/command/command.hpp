// The one way the launcher's modules run a command line: through the platform's shell, with the
// launcher's own buffered output flushed first so that the shell's output cannot overtake it on
// the console.
#pragma once

namespace command {

// The shell's status, or -1 when no shell could be started.
int run_command(const char* command);

// run_command of a printf-style command line, built in the launcher's 256-byte command buffer
// (every command line of the launcher is far shorter; a longer one is cut there).
__attribute__((format(printf, 1, 2))) int run_formatted(const char* format, ...);

}  // namespace command
