#include "console_writer.h"

#include <string.h>

ConsoleText with_system_string(const char* text, const std::string& system_string) {
  const char* mark = strstr(text, "%s");
  if (!mark) return {{text, false}};
  return {{std::string(text, mark), false}, {system_string, true}, {mark + 2, false}};
}
