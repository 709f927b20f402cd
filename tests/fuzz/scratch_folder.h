// A scratch folder for a fuzzer's files, in memory where /dev/shm exists,
// removed with its files when the fuzzer exits.
#ifndef SCRATCH_FOLDER_H
#define SCRATCH_FOLDER_H

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

// Removes every entry of the folder (the fuzzers make only files there).
inline void empty_folder(const std::string& folder) {
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
        remove((folder + "/" + entry->d_name).c_str());
      }
    }
    closedir(dir);
  }
}

inline std::string& scratch_folder_path() {
  static std::string path;
  return path;
}

// Makes the folder; its path, or "" when it cannot be made.
inline const std::string& make_scratch_folder(const char* name) {
  std::string pattern =
      std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/") + name + ".XXXXXX";
  if (mkdtemp(&pattern[0])) {
    scratch_folder_path() = pattern;
    atexit([] {
      empty_folder(scratch_folder_path());
      rmdir(scratch_folder_path().c_str());
    });
  }
  return scratch_folder_path();
}

#endif  // SCRATCH_FOLDER_H
