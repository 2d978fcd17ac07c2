#include "settings-tool/gui/Parameters.h"

#include <fstream>

namespace cadmon::gui {

void ReadParameters(int& languageFlag, const std::filesystem::path& file) {
    std::ifstream in(file);
    if (!in.is_open()) {
        languageFlag = 0;
        WriteParameters(languageFlag, file);
        return;
    }
    // Formatted extraction: leading white space (either line end) is skipped,
    // reading stops at the first character that cannot continue the number,
    // and a value outside the int range fails.
    int value = 0;
    if (in >> value) languageFlag = value;
}

void WriteParameters(int languageFlag, const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::out | std::ios::trunc);
    if (!out.is_open()) return;
    out << languageFlag << '\n';
}

}  // namespace cadmon::gui
