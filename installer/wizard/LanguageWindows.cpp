#include "installer/wizard/LanguageWindows.h"

#include <QComboBox>
#include <QDir>
#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include "base/Text.h"
#include "installer/payload/InstallerConfig.h"
#include "installer/wizard/WizardPanel.h"
#include "installer/wizard/WizardTexts.h"

namespace wizard {
namespace {

QString S(const char16_t* text) { return QString::fromUtf16(text); }

// A template font: its face and a point size at 96 dots per inch.
QFont TemplateFont(const QString& face, int points) {
    QFont font = MakeFont(face, points * 96 / 72 + 3, 400, kCharsetDefault);
    return font;
}

}  // namespace

int LcidFromLocaleName(const QString& name) {
    // "zh_CN.UTF-8", "en_US@euro": language and territory only.
    QString base = name.section(QLatin1Char('.'), 0, 0).section(QLatin1Char('@'), 0, 0);
    if (base == QLatin1String("zh_CN")) return kLcidChinesePrc;
    if (base == QLatin1String("en_US")) return kLcidEnglishUs;
    if (base == QLatin1String("ru_RU")) return kLcidRussian;
    return kLcidOther;
}

int SystemDefaultLcid() {
    const std::string name = base::LocaleName(base::LocaleCategory::Messages);
    return name.empty() ? kLcidOther : LcidFromLocaleName(QString::fromLocal8Bit(name.c_str()));
}

UiLanguage LanguageFromIndex(int index) {
    if (index == 0) return UiLanguage::Chinese;
    if (index == 1) return UiLanguage::English;
    return UiLanguage::Russian;
}

QString ReadCaptionLine(const QString& path) {
    const std::filesystem::path file = path.toStdString();
    const auto data = payload::ReadDocumentsFile(file.parent_path(), file.filename().string());
    if (!data) return {};
    QByteArray bytes(data->data(), static_cast<qsizetype>(data->size()));
    if (bytes.startsWith("\xFF\xFE")) bytes.remove(0, 2);
    if (bytes.size() % 2) bytes.chop(1);
    const QString text = QString::fromUtf16(reinterpret_cast<const char16_t*>(bytes.constData()),
                                            bytes.size() / 2);
    if (text.isEmpty()) return {};
    // The last line read: the text after the last line feed, or the line that
    // the last line feed closes when the file ends with one.
    QString body = text;
    if (body.endsWith(QLatin1Char('\n'))) body.chop(1);
    QString last = body.mid(body.lastIndexOf(QLatin1Char('\n')) + 1);
    if (last.endsWith(QLatin1Char('\r'))) last.chop(1);
    return last.left(509);
}

// ------------------------------------------------------ CSelectLanguageBase

CSelectLanguageBase::CSelectLanguageBase(const QString& documents, const QFont& templateFont, QWidget* parent)
    : QDialog(parent),
      documents_(documents),
      cyrillicFont_(LanguageListFont()),
      list_(new QComboBox(this)),
      label_(new QLabel(this)),
      ok_(new QPushButton(this)),
      cancel_(new QPushButton(this)) {
    InitWizardResources();
    setWindowIcon(QIcon(QStringLiteral(":/lumbra/app32.png")));
    setFont(templateFont);
    setFixedSize(300, 124);
    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(QStringLiteral(":/lumbra/language.png")));
    icon->setGeometry(14, 18, 32, 32);
    label_->setGeometry(60, 14, 226, 22);
    list_->setGeometry(60, 42, 226, 24);
    ok_->setGeometry(126, 86, 75, 25);
    cancel_->setGeometry(211, 86, 75, 25);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void CSelectLanguageBase::SetControlFonts(const QFont& font) {
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(list_), static_cast<QWidget*>(label_),
                       static_cast<QWidget*>(ok_), static_cast<QWidget*>(cancel_)}) {
        w->setFont(font);
    }
}

void CSelectLanguageBase::Relabel(int index) {
    switch (index) {
    case 0:
        RestoreInitialFont();
        setWindowTitle(Lookup(documents_, u"SelectLanguageCN", u"选择语言"));
        label_->setText(Lookup(documents_, u"PleaseSelectLanguageCN", u"请选择语言"));
        cancel_->setText(Lookup(documents_, u"CancelCN", u"取消"));
        ok_->setText(Lookup(documents_, u"OK", u"OK"));
        break;
    case 1:
        setWindowTitle(QStringLiteral("Select Language"));
        label_->setText(QStringLiteral("Please Select Language"));
        cancel_->setText(QStringLiteral("Cancel"));
        ok_->setText(QStringLiteral("OK"));
        break;
    case 2:
        SetControlFonts(cyrillicFont_);
        setWindowTitle(Lookup(documents_, u"SelectLanguage", u"Select Language"));
        label_->setText(Lookup(documents_, u"PleaseSelectLanguage", u"Please Select Language"));
        cancel_->setText(Lookup(documents_, u"Cancel", u"Cancel"));
        ok_->setText(QStringLiteral("OK"));
        break;
    default:
        break;
    }
}

void CSelectLanguageBase::OnOk() {
    chosenIndex_ = list_->currentIndex();
    accept();
}

// -------------------------------------------------------- CSelectLanguageCN

CSelectLanguageCN::CSelectLanguageCN(const QString& documents, QWidget* parent)
    : CSelectLanguageBase(documents, TemplateFont(S(u"宋体"), 9), parent) {
    setWindowTitle(S(u"USB打印机驱动安装--选择语言"));
    label_->setText(S(u"请选择语言："));
    ok_->setText(S(u"确定"));
    cancel_->setText(S(u"取消"));
    initialFont_ = font();
    // The entries follow the index mapping every window shares: Chinese,
    // English, Russian.
    list_->addItems({S(u"中文简体"), S(u"英语"), S(u"俄语")});
    list_->setCurrentIndex(0);
    const QString caption = ReadCaptionLine(QDir(documents).filePath(QStringLiteral("InstallConfig_cn.txt")));
    if (!caption.isEmpty()) setWindowTitle(caption);
    list_->setFont(cyrillicFont_);
    connect(list_, &QComboBox::currentIndexChanged, this, [this](int index) { Relabel(index); });
}

void CSelectLanguageCN::RestoreInitialFont() {
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(label_), static_cast<QWidget*>(ok_),
                       static_cast<QWidget*>(cancel_)}) {
        w->setFont(initialFont_);
    }
}

// -------------------------------------------------------- CSelectLanguageEn

CSelectLanguageEn::CSelectLanguageEn(const QString& documents, bool textMode, QWidget* parent)
    : CSelectLanguageBase(documents, TemplateFont(QStringLiteral("MS Sans Serif"), 10), parent),
      textMode_(textMode) {
    setWindowTitle(QStringLiteral("Wizard--Select Language"));
    label_->setText(QStringLiteral("Please select language:"));
    ok_->setText(QStringLiteral("OK"));
    cancel_->setText(QStringLiteral("Cancel"));
    if (!textMode_) {
        list_->setFont(cyrillicFont_);
        const QString caption = ReadCaptionLine(QDir(documents).filePath(QStringLiteral("InstallConfig_en.txt")));
        if (!caption.isEmpty()) setWindowTitle(caption);
        list_->addItems({S(u"中文"), QStringLiteral("English"), S(u"Русский")});
        list_->setCurrentIndex(1);
    } else {
        SetControlFonts(cyrillicFont_);
        setWindowTitle(Lookup(documents_, u"SelectLanguage", u"Select Language"));
        list_->addItems({Lookup(documents_, u"Chinese", u"Chinese"), Lookup(documents_, u"English", u"English"),
                         Lookup(documents_, u"Russian", u"Russian")});
        list_->setCurrentIndex(2);
        label_->setText(Lookup(documents_, u"PleaseSelectLanguage", u"Please Select Language"));
        ok_->setText(QStringLiteral("OK"));
        cancel_->setText(Lookup(documents_, u"Cancel", u"Cancel"));
    }
    connect(list_, &QComboBox::currentIndexChanged, this, [this](int index) { Relabel(index); });
}

std::optional<UiLanguage> AskLanguage(const QString& documents, int lcid) {
    std::unique_ptr<CSelectLanguageBase> window;
    if (lcid == kLcidChinesePrc) {
        window = std::make_unique<CSelectLanguageCN>(documents);
    } else {
        window = std::make_unique<CSelectLanguageEn>(documents, lcid != kLcidEnglishUs);
    }
    if (window->exec() != QDialog::Accepted) return std::nullopt;
    return LanguageFromIndex(window->chosenIndex());
}

}  // namespace wizard
