// list-cameras: the machine's cameras as the default plug-in sees them, each
// with its formats, frame sizes and rates and controls, and whether the
// plug-in uses it. The verdicts come from the plug-in's own camera code,
// built in; no frame is streamed.
//
//   list-cameras [DEVICE]
#include <stdio.h>
#include <string.h>

#ifdef _WIN32
#include <objbase.h>
#endif

#include "machine_listing.h"

namespace {

const char kUsage[] =
    "Usage: list-cameras [DEVICE]\n"
    "Lists the cameras the default camera plug-in (%s) finds, in the order it\n"
    "tries them: each one's device, formats, frame sizes and rates and controls,\n"
    "and what the plug-in makes of it: \"used by default\" (the first that opens),\n"
    "\"usable: VIDMOTE_DEVICE=...\" (the value that picks it) or \"not used: ...\"\n"
    "(why). Without a camera the plug-in serves its built-in test card.\n"
    "DEVICE (%s) lists that camera alone.\n"
    "\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n";

int finished(FILE* stream) {
  return fflush(stream) == 0 && !ferror(stream) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const char* only = nullptr;
  bool help = false, version = false, usable = true;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0)
      help = true;
    else if (strcmp(argv[i], "--version") == 0)
      version = true;
    else if (argv[i][0] == '-' || only)
      usable = false;
    else
      only = argv[i];
  }
  if (!usable) {
    fprintf(stderr, kUsage, list_cameras::kPlugInFile, list_cameras::kDeviceHelp);
    return 2;
  }
  if (help) {
    printf(kUsage, list_cameras::kPlugInFile, list_cameras::kDeviceHelp);
    return finished(stdout);
  }
  if (version) {
    puts("list-cameras " CAPTURE_CONSOLE_VERSION);
    return finished(stdout);
  }
#ifdef _WIN32
  const bool com = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
#endif
  const list_cameras::MachineListing listing = list_cameras::list_machine(only);
#ifdef _WIN32
  if (com) CoUninitialize();
#endif
  const std::string text =
      list_cameras::listing_text(listing.cameras, listing.default_name, listing.any_camera,
                                 listing.not_cameras, listing.unusable_named);
  fputs(list_cameras::for_terminal(text).c_str(), stdout);
  const int written = finished(stdout);
  return written != 0 || !listing.listed_whole ? 1 : 0;
}
