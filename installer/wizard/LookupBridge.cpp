#include "installer/wizard/WizardTexts.h"

namespace wizard {

QString Lookup(const QString&, const char16_t*, const char16_t* fallback) {
    return QString::fromUtf16(fallback);
}

}  // namespace wizard
