#pragma once
// The two language windows shown before the wizard: a Chinese one for PRC
// systems and an English one for all others (plain on US English systems,
// worded from "Text.ini" on the rest).
#include <QDialog>
#include <QFont>
#include <QString>
#include <optional>

#include "installer/wizard/WizardFonts.h"

class QComboBox;
class QLabel;
class QPushButton;

namespace wizard {

inline constexpr int kLcidChinesePrc = 2052;
inline constexpr int kLcidEnglishUs = 1033;
inline constexpr int kLcidRussian = 1049;
inline constexpr int kLcidOther = 4096;

// The system's default locale as a locale id, from LC_ALL, LC_MESSAGES and
// LANG (the first one set): zh_CN 2052, en_US 1033, ru_RU 1049, else 4096.
int SystemDefaultLcid();
int LcidFromLocaleName(const QString& name);

// List index to interface language: 0 Chinese, 1 English, 2 and anything
// else (nothing selected) Russian.
UiLanguage LanguageFromIndex(int index);

// The last line of a UTF-16 configuration file without its line end; empty
// when the file is missing or its last line is empty. The file is read as
// the installer reads its configuration (name ignoring case, no link, no
// FIFO, bounded).
QString ReadCaptionLine(const QString& path);

class CSelectLanguageBase : public QDialog {
    Q_OBJECT
public:
    int chosenIndex() const { return chosenIndex_; }
    QComboBox* list() const { return list_; }
    QLabel* label() const { return label_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

protected:
    CSelectLanguageBase(const QString& documents, const QFont& templateFont, QWidget* parent);
    void Relabel(int index);
    void SetControlFonts(const QFont& font);  // window, list, label, OK, Cancel
    virtual void RestoreInitialFont() {}

    QString documents_;
    QFont cyrillicFont_;
    QComboBox* list_;
    QLabel* label_;
    QPushButton* ok_;
    QPushButton* cancel_;

private:
    void OnOk();
    int chosenIndex_ = -1;
};

class CSelectLanguageCN : public CSelectLanguageBase {
    Q_OBJECT
public:
    explicit CSelectLanguageCN(const QString& documents, QWidget* parent = nullptr);

protected:
    void RestoreInitialFont() override;

private:
    QFont initialFont_;
};

class CSelectLanguageEn : public CSelectLanguageBase {
    Q_OBJECT
public:
    CSelectLanguageEn(const QString& documents, bool textMode, QWidget* parent = nullptr);
    bool textMode() const { return textMode_; }

private:
    bool textMode_;
};

// Shows the window for the locale id and returns the chosen language, or
// nothing when the user cancelled.
std::optional<UiLanguage> AskLanguage(const QString& documents, int lcid);

}  // namespace wizard
