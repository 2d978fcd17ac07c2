#include <QDir>

#include "installer/payload/TextTable.h"
#include "installer/wizard/WizardTexts.h"

namespace wizard {

QString Lookup(const QString& documents, const char16_t* key, const char16_t* fallback) {
    const std::filesystem::path ini = QDir(documents).filePath(QStringLiteral("Text.ini")).toStdString();
    return QString::fromStdU16String(payload::LookupTextIn(ini, key, fallback));
}

}  // namespace wizard
