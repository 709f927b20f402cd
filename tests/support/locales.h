// Locales the tests build for themselves (glibc's localedef, Debian package
// locales), so that they need none installed and leave the system's alone.
#ifndef SUPPORT_LOCALES_H
#define SUPPORT_LOCALES_H

#include <string>

// Builds the locale `name` in `folder` from localedef's source `source`
// (ja_JP, say) and character set `charset`; programs find it with
// LOCPATH=folder and LC_ALL=name. False when it could not be built.
bool make_locale(const std::string& folder, const std::string& name, const std::string& source,
                 const std::string& charset);

#endif  // SUPPORT_LOCALES_H
