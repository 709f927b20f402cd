#include "support/locales.h"

#include <stdlib.h>

#include "support/files.h"
#include "support/shell.h"

bool make_locale(const std::string& folder, const std::string& name, const std::string& source,
                 const std::string& charset) {
  const std::string path = folder + "/" + name;
  const std::string command = "localedef -i " + shell_quoted(source) + " -f " +
                              shell_quoted(charset) + " " + shell_quoted(path) + " >/dev/null 2>&1";
  // Its status is no guide: it warns, and fails, that SJIS is not ASCII-safe
  // while building the locale all the same.
  int ignored_status = system(command.c_str());
  (void)ignored_status;
  return file_exists(path);
}
