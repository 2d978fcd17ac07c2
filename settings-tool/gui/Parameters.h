#pragma once
// "init_params.txt": the one setting kept between runs, LanguageFlag
// (0 Chinese, anything else English), as a decimal number and a line feed.
#include <filesystem>

namespace cadmon::gui {

inline constexpr const char* kParametersFileName = "init_params.txt";

// Sets `languageFlag` from the file. When the file cannot be opened the flag
// becomes 0 and the file is written; when it holds no readable number the flag
// and the file are left as they are.
void ReadParameters(int& languageFlag,
                    const std::filesystem::path& file = kParametersFileName);

// Writes the flag and "\n", truncating the file. Failures are ignored.
void WriteParameters(int languageFlag,
                     const std::filesystem::path& file = kParametersFileName);

}  // namespace cadmon::gui
