// The language windows (locale choice, lists, titles from the configuration
// files, "Text.ini" wording, relabelling, index mapping) and the port window
// (columns, captions, OK needing a selected row).
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <fstream>

#include "base/TextCodec.h"
#include "installer/wizard/LanguageWindows.h"
#include "installer/wizard/SelectPortDlg.h"
#include "installer/wizard/tests/GuiTestSupport.h"

using namespace wizard;

namespace {

QString S(const char16_t* text) { return QString::fromUtf16(text); }

void WriteUtf16(const QString& path, std::u16string_view text) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out << base::EncodeUtf16Le(text, true);
}

QStringList Items(QComboBox* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
    return items;
}

struct LanguageTest : ::testing::Test {
    void SetUp() override {
        wizardtest::App();
        ASSERT_TRUE(docs.isValid());
    }
    QString File(const char* name) const { return QDir(docs.path()).filePath(QString::fromLatin1(name)); }
    QTemporaryDir docs;
};

TEST(LocaleTest, LocaleNamesAndEnvironmentOrder) {
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("zh_CN.UTF-8")), 2052);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("zh_CN")), 2052);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("en_US.UTF-8")), 1033);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("en_US@euro")), 1033);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("en_GB.UTF-8")), kLcidOther);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("zh_TW.UTF-8")), kLcidOther);
    EXPECT_EQ(LcidFromLocaleName(QStringLiteral("C")), kLcidOther);
    setenv("LC_ALL", "", 1);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    setenv("LANG", "en_US.UTF-8", 1);
    EXPECT_EQ(SystemDefaultLcid(), 2052);
    setenv("LC_ALL", "en_US.UTF-8", 1);
    EXPECT_EQ(SystemDefaultLcid(), 1033);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    EXPECT_EQ(SystemDefaultLcid(), kLcidOther);
}

TEST(LocaleTest, IndexToLanguage) {
    EXPECT_EQ(LanguageFromIndex(0), UiLanguage::Chinese);
    EXPECT_EQ(LanguageFromIndex(1), UiLanguage::English);
    EXPECT_EQ(LanguageFromIndex(2), UiLanguage::Russian);
    EXPECT_EQ(LanguageFromIndex(-1), UiLanguage::Russian);
}

TEST_F(LanguageTest, CaptionLineIsTheLastLine) {
    WriteUtf16(File("a.txt"), u"one\r\n=====\r\nPOS Printer Driver--Select Language\r\n");
    EXPECT_EQ(ReadCaptionLine(File("a.txt")), QStringLiteral("POS Printer Driver--Select Language"));
    WriteUtf16(File("b.txt"), u"one\r\nlast without line end");
    EXPECT_EQ(ReadCaptionLine(File("b.txt")), QStringLiteral("last without line end"));
    WriteUtf16(File("c.txt"), u"one\r\n\r\n");
    EXPECT_EQ(ReadCaptionLine(File("c.txt")), QString());
    EXPECT_EQ(ReadCaptionLine(File("missing.txt")), QString());
}

TEST_F(LanguageTest, ChineseWindow) {
    CSelectLanguageCN plain(docs.path());
    EXPECT_EQ(plain.windowTitle(), S(u"USB打印机驱动安装--选择语言"));
    EXPECT_EQ(plain.label()->text(), S(u"请选择语言："));
    EXPECT_EQ(plain.okButton()->text(), S(u"确定"));
    EXPECT_EQ(plain.cancelButton()->text(), S(u"取消"));
    EXPECT_EQ(plain.list()->count(), 3);
    EXPECT_EQ(plain.list()->itemText(0), S(u"中文简体"));
    EXPECT_EQ(plain.list()->currentIndex(), 0);
    EXPECT_EQ(plain.list()->font(), LanguageListFont());

    WriteUtf16(File("InstallConfig_cn.txt"), u"text\r\n====================\r\nPOS打印机驱动安装--选择语言\r\n");
    CSelectLanguageCN window(docs.path());
    EXPECT_EQ(window.windowTitle(), S(u"POS打印机驱动安装--选择语言"));
    const QFont initial = window.font();
    // To Russian: the Cyrillic font on every control; back to Chinese: the first font.
    window.list()->setCurrentIndex(2);
    EXPECT_EQ(window.okButton()->font(), LanguageListFont());
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Select Language"));
    EXPECT_EQ(window.label()->text(), QStringLiteral("Please Select Language"));
    window.list()->setCurrentIndex(1);
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Select Language"));
    EXPECT_EQ(window.cancelButton()->text(), QStringLiteral("Cancel"));
    window.list()->setCurrentIndex(0);
    EXPECT_EQ(window.okButton()->font(), initial);
    EXPECT_EQ(window.windowTitle(), S(u"选择语言"));
    EXPECT_EQ(window.label()->text(), S(u"请选择语言"));
    EXPECT_EQ(window.cancelButton()->text(), S(u"取消"));
    EXPECT_EQ(window.okButton()->text(), QStringLiteral("OK"));
    window.list()->setCurrentIndex(1);
    QTest::mouseClick(window.okButton(), Qt::LeftButton);
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_EQ(window.chosenIndex(), 1);
}

TEST_F(LanguageTest, EnglishWindowPlainAndTextMode) {
    WriteUtf16(File("InstallConfig_en.txt"), u"text\r\n====================\r\nPOS Printer Driver--Select Language\r\n");
    CSelectLanguageEn us(docs.path(), false);
    EXPECT_EQ(us.windowTitle(), QStringLiteral("POS Printer Driver--Select Language"));
    EXPECT_EQ(Items(us.list()), (QStringList{S(u"中文"), "English", S(u"Русский")}));
    EXPECT_EQ(us.list()->currentIndex(), 1);
    EXPECT_EQ(us.label()->text(), QStringLiteral("Please select language:"));

    // Text mode without "Text.ini": the defaults; Russian preselected.
    CSelectLanguageEn other(docs.path(), true);
    EXPECT_EQ(other.windowTitle(), QStringLiteral("Select Language"));
    EXPECT_EQ(Items(other.list()), (QStringList{"Chinese", "English", "Russian"}));
    EXPECT_EQ(other.list()->currentIndex(), 2);
    EXPECT_EQ(other.label()->text(), QStringLiteral("Please Select Language"));
    EXPECT_EQ(other.cancelButton()->text(), QStringLiteral("Cancel"));
    EXPECT_EQ(other.label()->font(), LanguageListFont());

    WriteUtf16(File("Text.ini"), u"[Text]\r\nSelectLanguage=Выбор языка\r\nChinese=Китайский\r\n"
                                 u"Russian=Русский\r\nCancel=Отмена\r\nSelectLanguageCN=语言\r\n");
    CSelectLanguageEn text(docs.path(), true);
    EXPECT_EQ(text.windowTitle(), S(u"Выбор языка"));
    EXPECT_EQ(Items(text.list()), (QStringList{S(u"Китайский"), "English", S(u"Русский")}));
    EXPECT_EQ(text.cancelButton()->text(), S(u"Отмена"));
    text.list()->setCurrentIndex(0);
    EXPECT_EQ(text.windowTitle(), S(u"语言"));
    EXPECT_EQ(text.label()->text(), S(u"请选择语言"));
    QTest::keyClick(&text, Qt::Key_Escape);
    EXPECT_EQ(text.result(), QDialog::Rejected);
}

TEST(PortWindowTest, ColumnsCaptionsAndOk) {
    wizardtest::App();
    const std::vector<PortRow> ports = {{"COM1:", "Serial port", "Local Port"},
                                        {"LPT1:", "Parallel port", "Local Port"},
                                        {"POS80-Port:", "Monitor port", "POS USB Printer Monitor"}};
    CSelectPortDlg window(UiLanguage::English, ports);
    window.show();
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Select Printer Port"));
    EXPECT_EQ(window.okButton()->text(), QStringLiteral("OK"));
    EXPECT_EQ(window.cancelButton()->text(), QStringLiteral("Cancel"));
    QTableWidget* list = window.list();
    EXPECT_EQ(list->horizontalHeaderItem(0)->text(), QStringLiteral("Port"));
    EXPECT_EQ(list->horizontalHeaderItem(1)->text(), QStringLiteral("Description"));
    EXPECT_EQ(list->horizontalHeaderItem(2)->text(), QStringLiteral("Monitor"));
    const int client = list->viewport()->width();
    EXPECT_EQ(list->columnWidth(0), client / 3);
    EXPECT_EQ(list->columnWidth(1), client / 3);
    EXPECT_EQ(list->columnWidth(2), client / 3 - 1);
    EXPECT_TRUE(list->showGrid());
    EXPECT_TRUE(list->horizontalHeader()->sectionsMovable());
    EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(list->item(2, 2)->text(), QStringLiteral("POS USB Printer Monitor"));

    QTest::mouseClick(window.okButton(), Qt::LeftButton);
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(window.chosenPort(), QString());
    // Two rows selected, the lower one first: the upper one counts.
    list->selectRow(2);
    list->selectionModel()->select(list->model()->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QTest::mouseClick(window.okButton(), Qt::LeftButton);
    EXPECT_EQ(window.result(), QDialog::Accepted);
    EXPECT_EQ(window.chosenPort(), QStringLiteral("COM1:"));

    CSelectPortDlg chinese(UiLanguage::Chinese, {});
    EXPECT_EQ(chinese.windowTitle(), S(u"选择打印机端口"));
    EXPECT_EQ(chinese.list()->horizontalHeaderItem(1)->text(), S(u"描述"));
    EXPECT_EQ(chinese.list()->horizontalHeaderItem(2)->text(), S(u"监视器"));
    EXPECT_EQ(chinese.okButton()->text(), S(u"确定"));
    CSelectPortDlg russian(UiLanguage::Russian, {});
    EXPECT_EQ(russian.windowTitle(), QStringLiteral("Select Printer Port"));
    EXPECT_EQ(russian.list()->horizontalHeaderItem(0)->text(), QStringLiteral("Port"));
    russian.show();
    QTest::mouseClick(russian.okButton(), Qt::LeftButton);  // empty list: OK does nothing
    EXPECT_TRUE(russian.isVisible());
    QTest::keyClick(&russian, Qt::Key_Escape);
    EXPECT_EQ(russian.result(), QDialog::Rejected);
    EXPECT_EQ(russian.chosenPort(), QString());
}

}  // namespace
