// What the program writes on its console, in UTF-8 (the C locale's texts),
// for the tests to expect byte for byte.
#ifndef SUPPORT_CONSOLE_TEXTS_H
#define SUPPORT_CONSOLE_TEXTS_H

#include <string>

// Inline, so that they are made before any constant of a test built from them.
inline const std::string kWidthQuestion = "HTML ファイル版の横幅は？（例：200） -> ";
inline const std::string kPrompt = "Enter キーを押してください, 終了(Q), 設定(S) -> ";
inline const std::string kCaptureFailed = "キャプチャ失敗\n";
inline const std::string kFileOutputFailed = "ファイル出力失敗...\n";
inline const std::string kWidthError = "error.\n";
inline const std::string kInitFailed = "DLL の初期化に失敗しました\n";

// The line naming the plug-in, as its name function gives it.
inline std::string plugin_name_line(const std::string& name) {
  return "DLL：" + name + "\n";
}
inline std::string resolution_line(int width, int height) {
  return "解像度：" + std::to_string(width) + "x" + std::to_string(height) + "\n";
}
// The plug-in's name, the camera's resolution and the width question; the
// test camera is named FakeCam.
inline std::string startup_text(int width, int height, const std::string& name = "FakeCam") {
  return plugin_name_line(name) + resolution_line(width, height) + kWidthQuestion;
}
// The plug-in file that cannot be opened, or is no plug-in.
inline std::string open_failed_text(const std::string& plugin_file) {
  return "DLL が開けません : " + plugin_file + "\n";
}

#endif  // SUPPORT_CONSOLE_TEXTS_H
