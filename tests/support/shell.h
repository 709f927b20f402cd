// For the tests that run commands through the shell.
#ifndef SUPPORT_SHELL_H
#define SUPPORT_SHELL_H

#include <string>

// One word for the shell, whatever it holds (a space, a quote).
std::string shell_quoted(const std::string& word);

#endif  // SUPPORT_SHELL_H
