#include "console_text.h"

#include <string.h>
#include <strings.h>

#include <initializer_list>
#include <string>

#ifndef _WIN32
#include <iconv.h>
#include <langinfo.h>
#endif

namespace {

const ConsoleTexts kUtf8Texts = {
    "DLL \u304C\u958B\u3051\u307E\u305B\u3093 : %s\n",
    "DLL \u306E\u521D\u671F\u5316\u306B\u5931\u6557\u3057\u307E\u3057\u305F\n",
    "DLL\uFF1A%s\n",
    "\u89E3\u50CF\u5EA6\uFF1A%dx%d\n",
    "HTML \u30D5\u30A1\u30A4\u30EB\u7248\u306E\u6A2A\u5E45\u306F\uFF1F\uFF08\u4F8B\uFF1A200\uFF09 "
    "-> ",
    "error.\n",
    "Enter \u30AD\u30FC\u3092\u62BC\u3057\u3066\u304F\u3060\u3055\u3044, \u7D42\u4E86(Q), "
    "\u8A2D\u5B9A(S) -> ",
    "\u30AD\u30E3\u30D7\u30C1\u30E3\u5931\u6557\n",
    "\u30D5\u30A1\u30A4\u30EB\u51FA\u529B\u5931\u6557...\n",
};

// The same characters as Shift_JIS (code page 932) bytes.
const ConsoleTexts kShiftJisTexts = {
    "DLL \x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1 : %s\n",
    "DLL "
    "\x82\xCC\x8F\x89\x8A\xFA\x89\xBB\x82\xC9\x8E\xB8\x94\x73\x82\xB5\x82\xDC\x82\xB5\x82\xBD\n",
    "DLL\x81\x46%s\n",
    "\x89\xF0\x91\x9C\x93\x78\x81\x46%dx%d\n",
    "HTML \x83\x74\x83\x40\x83\x43\x83\x8B\x94\xC5\x82\xCC\x89\xA1\x95\x9D\x82\xCD\x81\x48\x81\x69"
    "\x97\xE1\x81\x46"
    "200\x81\x6A -> ",
    "error.\n",
    "Enter \x83\x4C\x81\x5B\x82\xF0\x89\x9F\x82\xB5\x82\xC4\x82\xAD\x82\xBE\x82\xB3\x82\xA2, "
    "\x8F\x49\x97\xB9(Q), \x90\xDD\x92\xE8(S) -> ",
    "\x83\x4C\x83\x83\x83\x76\x83\x60\x83\x83\x8E\xB8\x94\x73\n",
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x8F\x6F\x97\xCD\x8E\xB8\x94\x73...\n",
};

#ifndef _WIN32
bool is_one_of(const char* codeset, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (strcasecmp(codeset, name) == 0) return true;
  }
  return false;
}

const char* ConsoleTexts::*const kTextFields[] = {
    &ConsoleTexts::dll_open_failed,    &ConsoleTexts::dll_init_failed,
    &ConsoleTexts::dll_name,           &ConsoleTexts::resolution,
    &ConsoleTexts::width_question,     &ConsoleTexts::width_error,
    &ConsoleTexts::command_prompt,     &ConsoleTexts::capture_failed,
    &ConsoleTexts::file_output_failed,
};
const size_t kTextCount = sizeof kTextFields / sizeof kTextFields[0];
static_assert(sizeof(ConsoleTexts) == kTextCount * sizeof(const char*), "every text is listed");

bool convert_text(iconv_t converter, const char* text, std::string* out) {
  std::string in = text;
  out->assign(in.size() * 4 + 16, '\0');  // room for any character set's bytes
  char* src = in.data();
  char* dst = out->data();
  size_t src_left = in.size(), dst_left = out->size();
  if (iconv(converter, &src, &src_left, &dst, &dst_left) == static_cast<size_t>(-1) ||
      iconv(converter, nullptr, nullptr, &dst, &dst_left) == static_cast<size_t>(-1)) {
    return false;
  }
  out->resize(out->size() - dst_left);
  return true;
}

// The UTF-8 texts converted to one character set, all or none; kept for the
// character set last asked for.
class ConvertedTexts {
 public:
  bool convert(const char* codeset) {
    if (codeset_ == codeset) return ok_;
    codeset_ = codeset;
    ok_ = false;
    iconv_t converter = iconv_open(codeset, "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return false;
    ok_ = true;
    for (size_t i = 0; i < kTextCount && ok_; ++i) {
      ok_ = convert_text(converter, kUtf8Texts.*kTextFields[i], &strings_[i]);
      texts_.*kTextFields[i] = strings_[i].c_str();
    }
    iconv_close(converter);
    return ok_;
  }
  const ConsoleTexts& texts() const { return texts_; }

 private:
  std::string codeset_;
  bool ok_ = false;
  std::string strings_[kTextCount];
  ConsoleTexts texts_ = {};
};
#endif

}  // namespace

const ConsoleTexts& locale_console_texts() {
#ifdef _WIN32
  return kShiftJisTexts;
#else
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset || is_one_of(codeset, {"UTF-8", "UTF8", "ANSI_X3.4-1968", "ASCII", "US-ASCII"})) {
    return kUtf8Texts;
  }
  if (is_one_of(codeset, {"SHIFT_JIS", "SHIFT-JIS", "SJIS", "CP932", "WINDOWS-31J", "MS_KANJI",
                          "CSSHIFTJIS"})) {
    return kShiftJisTexts;
  }
  static ConvertedTexts converted;
  return converted.convert(codeset) ? converted.texts() : kUtf8Texts;
#endif
}
