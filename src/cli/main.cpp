// Entry point of `tessary`.
#include <iostream>

#include "cli_app.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "platform/win32_paths.h"

// Windows hands the program its arguments in UTF-16; the commands take UTF-8, and the console is told
// that UTF-8 is what they print.
int main() {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(tessary::win32::utf8FromWide(wide[i]));
  if (wide) ::LocalFree(wide);
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  argv.push_back(nullptr);
  ::SetConsoleOutputCP(CP_UTF8);
  return tessary::cli::run(static_cast<int>(args.size()), argv.data(), std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
  // Nothing here writes through C's stdio, so the streams keep their own buffers: a long listing goes
  // out in large writes rather than through stdio call by call. (std::cerr stays tied to std::cout.)
  std::ios_base::sync_with_stdio(false);
  return tessary::cli::run(argc, argv, std::cout, std::cerr);
}
#endif
