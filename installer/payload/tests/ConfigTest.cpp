// Installer configuration files, the shipped payload files, and the text table.
#include <gtest/gtest.h>

#include <climits>

#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "installer/payload/TextTable.h"
#include "installer/payload/tests/PayloadTestSupport.h"

namespace payload::test {
namespace {

const std::u16string kSep(50, u'=');

std::vector<std::uint8_t> AsBytes(const std::string& s) { return {s.begin(), s.end()}; }

InstallerTexts ParseLines(const std::vector<std::u16string>& lines, std::u16string_view eol = u"\r\n") {
    return ParseInstallerTexts(AsBytes(Utf16File(lines, eol)));
}

// Six one-line page texts, then the given tail (title section and names).
std::vector<std::u16string> WithPages(std::vector<std::u16string> tail) {
    std::vector<std::u16string> lines;
    for (int i = 0; i < 6; ++i) {
        lines.push_back(u"page " + std::u16string(1, static_cast<char16_t>(u'0' + i)));
        lines.push_back(kSep);
    }
    lines.insert(lines.end(), tail.begin(), tail.end());
    return lines;
}

std::vector<std::u16string> Names(const InstallerTexts& t) {
    return {t.title, t.productName, t.driverName, t.monitorName, t.portName, t.programFolderName, t.languageModule};
}

const fs::path kPayloadFiles = PAYLOAD_FILES_DIR;

TEST(InstallerTexts, NamesBlockVariants) {
    struct Case {
        const char* what;
        std::vector<std::u16string> tail;
        std::vector<std::u16string> names;
    };
    const std::vector<Case> cases = {
        {"as shipped",
         {u"Title", kSep, u"P", u"D", u"M", u"M:", u"F", u"L.DLL", u"caption"},
         {u"Title", u"P", u"D", u"M", u"M:", u"F", u"L.DLL"}},
        {"two-line title shifts every name down by one",
         {u"Title", u"Second", kSep, u"P", u"D", u"M", u"M:", u"F", u"L.DLL", u"caption"},
         {u"Title", u"Second", u"P", u"D", u"M", u"M:", u"F"}},
        {"blank line between monitor and port changes nothing",
         {u"Title", kSep, u"P", u"D", u"M", u"", u"M:", u"F", u"L.DLL", u"caption"},
         {u"Title", u"P", u"D", u"M", u"M:", u"F", u"L.DLL"}},
        {"separator lines in the names block are skipped",
         {u"Title", kSep, u"P", u"x====================y", u"D", u"M", u"M:", u"F", u"L.DLL"},
         {u"Title", u"P", u"D", u"M", u"M:", u"F", u"L.DLL"}},
        {"a run of 19 is no separator",
         {u"Title", kSep, std::u16string(19, u'='), u"D", u"M", u"M:", u"F", u"L.DLL"},
         {u"Title", std::u16string(19, u'='), u"D", u"M", u"M:", u"F", u"L.DLL"}},
        {"short names block: the rest keeps the built-in values",
         {u"Title", kSep, u"P", u"D"},
         {u"Title", u"P", u"D", u"USB Printer Monitor", u"USB PRINTER PORT:", u"", u""}},
    };
    for (const Case& c : cases) EXPECT_EQ(Names(ParseLines(WithPages(c.tail))), c.names) << c.what;
}

TEST(InstallerTexts, PageTextsJoinLinesAndAreCutToCapacity) {
    std::vector<std::u16string> lines = {u"Welcome", u"", u"second line", kSep, u"folder", kSep};
    for (int i = 2; i < 6; ++i) {
        lines.push_back(std::u16string(300, static_cast<char16_t>(u'a' + i)));
        lines.push_back(std::u16string(300, static_cast<char16_t>(u'a' + i)));
        lines.push_back(kSep);
    }
    lines.push_back(std::u16string(400, u't'));
    lines.push_back(kSep);
    lines.push_back(std::u16string(300, u'p'));
    lines.push_back(u"D");
    lines.push_back(u"M");
    lines.push_back(std::u16string(600, u'o'));
    InstallerTexts t = ParseLines(lines);
    EXPECT_EQ(t.pageText[0], u"Welcome\n\nsecond line\n");
    EXPECT_EQ(t.pageText[1], u"folder\n");
    EXPECT_EQ(t.pageText[2].size(), kPageTextCapacity);
    EXPECT_EQ(t.pageText[2], std::u16string(300, u'c') + u"\n" + std::u16string(210, u'c'));
    EXPECT_EQ(t.title, std::u16string(255, u't'));
    EXPECT_EQ(t.productName, std::u16string(255, u'p'));
    EXPECT_EQ(t.portName, std::u16string(511, u'o'));

    // Line feeds alone end lines as well; the values carry no line end.
    InstallerTexts lf = ParseLines(WithPages({u"Title", kSep, u"P", u"D", u"M"}), u"\n");
    EXPECT_EQ(lf.pageText[5], u"page 5\n");
    EXPECT_EQ(lf.monitorName, u"M");
}

TEST(InstallerTexts, MissingFileGivesDefaultsAndReadDeletesTheFile) {
    ScratchDir dir;
    InstallerTexts t;
    t.title = u"stale";
    EXPECT_FALSE(ReadInstallerTexts(dir / "InstallConfig_rs.txt", t));
    EXPECT_EQ(Names(t), (std::vector<std::u16string>{u"", u"USB Printer", u"USB Printer Driver",
                                                     u"USB Printer Monitor", u"USB PRINTER PORT:", u"", u""}));
    WriteFile(dir / "InstallConfig_en.txt", Utf16File(WithPages({u"T", kSep, u"P", u"D", u"M"})));
    EXPECT_TRUE(ReadInstallerTexts(dir / "InstallConfig_en.txt", t));
    EXPECT_EQ(t.monitorName, u"M");
    EXPECT_FALSE(fs::exists(dir / "InstallConfig_en.txt"));
    EXPECT_STREQ(InstallConfigFileName(0), "InstallConfig_en.txt");
    EXPECT_STREQ(InstallConfigFileName(1), "InstallConfig_cn.txt");
    EXPECT_STREQ(InstallConfigFileName(2), "InstallConfig_rs.txt");
}

TEST(InstallerTexts, FilesFoundIgnoringCaseAndEmptyOnesFallBackFieldByField) {
    ScratchDir dir;
    const std::string models =
        Utf16File({u"//heading", u"POS58, 0, POS58, ESC.GPD, vid_0418&pid_5012, 203, X, 580, 2100"});
    PrepareDocuments(BuildPackage(Sources({{"printername.TXT", models},
                                           {"TEXT.INI", "[Text]\r\nBack=Назад\r\n"},
                                           {"installconfig_EN.txt", ""},
                                           {"InstallConfig_cn.txt", Utf16File({u"no", u"separators", u"at all"})}})),
                     dir / "docs");
    EXPECT_EQ(ReadModelTable(dir / "docs").FilledRows(), 1u);
    EXPECT_EQ(LookupTextIn(dir / "docs/Text.ini", u"Back", u"Back"), u"Назад");
    const std::vector<std::u16string> defaults = {u"", u"USB Printer", u"USB Printer Driver", u"USB Printer Monitor",
                                                  u"USB PRINTER PORT:", u"", u""};
    for (int language : {0, 1}) {
        InstallerTexts t;
        EXPECT_TRUE(ReadInstallerTexts(dir / "docs" / InstallConfigFileName(language), t)) << language;
        EXPECT_EQ(Names(t), defaults) << language;
    }
}

const char16_t* kHeading = u"\uFEFF//打印机名称,是否带切刀,打印机型号,GPD文件,vid&pid,分辨率,硬件ID,默认纸张宽度,默认纸张高度";

ModelTable ParseRows(const std::vector<std::u16string>& rows) {
    std::vector<std::u16string> lines = {std::u16string(kHeading + 1)};
    lines.insert(lines.end(), rows.begin(), rows.end());
    return ParseModelTable(AsBytes(Utf16File(lines)));
}

TEST(ModelTable, RowsFromDataLines) {
    ModelTable spaced = ParseRows({u"POS80, 0, POS80, ESC.GPD, vid_0418&pid_5011, 203, UnknownPrinter, 800, 2100"});
    ModelTable tight = ParseRows({u"POS80,0,POS80,ESC.GPD,vid_0418&pid_5011,203,UnknownPrinter,800,2100"});
    for (const ModelTable* t : {&spaced, &tight}) {
        const ModelRow& r = t->rows[1];
        EXPECT_EQ(r.printerName, u"POS80");
        EXPECT_EQ(r.hasCutter, 0);
        EXPECT_EQ(r.model, u"POS80");
        EXPECT_EQ(r.gpdFile, u"ESC.GPD");
        EXPECT_EQ(r.vidPid, u"vid_0418&pid_5011");
        EXPECT_EQ(r.resolution, 203);
        EXPECT_EQ(r.hardwareId, u"UnknownPrinter");
        EXPECT_EQ(r.paperWidth, 800);
        EXPECT_EQ(r.paperHeight, 2100);
        EXPECT_EQ(t->listItems, std::vector<std::u16string>{u"POS80"});
        EXPECT_EQ(t->selectedRow, 1);
        EXPECT_TRUE(t->rows[0].printerName.empty());
    }

    ModelTable mixed = ParseRows({
        u"// a comment line",
        u"A, 1, POS58, C:\\\\drivers//ESC.GPD, vid_0418&pid_5011, 203, X, 580, 2100",  // "//" in a field
        u",1,POS80,ESC.GPD",                 // empty first field: scanning stops at once
        u"B,1,POS72",                        // fewer than nine fields
        u"C,,POS72,G,V,180,H,1,2",           // empty second field stops the scan there
        u"",                                 // a blank line is no data line
        u"D  , 1x, POS110  ,G,V,-5,H,99999999999,abc",
    });
    EXPECT_EQ(mixed.listItems, (std::vector<std::u16string>{u"", u"B", u"C", u"D  "}));
    EXPECT_EQ(mixed.rows[1].printerName, u"");
    EXPECT_EQ(mixed.rows[1].model, u"");
    EXPECT_EQ(mixed.rows[1].hasCutter, 0);
    EXPECT_EQ(mixed.rows[2].model, u"POS72");
    EXPECT_EQ(mixed.rows[2].hasCutter, 1);
    EXPECT_EQ(mixed.rows[2].paperHeight, 0);
    EXPECT_EQ(mixed.rows[3].model, u"");
    EXPECT_EQ(mixed.rows[4].printerName, u"D  ");
    EXPECT_EQ(mixed.rows[4].hasCutter, 1);
    EXPECT_EQ(mixed.rows[4].model, u"POS110  ");
    EXPECT_EQ(mixed.rows[4].resolution, -5);
    EXPECT_EQ(mixed.rows[4].paperWidth, INT_MAX);
    EXPECT_EQ(mixed.rows[4].paperHeight, 0);
    EXPECT_EQ(mixed.selectedRow, 1);
}

TEST(ModelTable, CapacitiesAndRowLimit) {
    std::vector<std::u16string> rows;
    for (int i = 0; i < 40; ++i) rows.push_back(u"M" + base::Utf8ToUtf16(std::to_string(i)) + u",0,POS80");
    rows[0] = std::u16string(100, u'n') + u",0," + std::u16string(40, u'm') + u"," + std::u16string(300, u'g') +
              u"," + std::u16string(80, u'v') + u",203," + std::u16string(40, u'h') + u",1,2";
    ModelTable t = ParseRows(rows);
    EXPECT_EQ(t.FilledRows(), kMaxModelLines);
    EXPECT_EQ(t.rows[31].printerName, u"M30");
    EXPECT_EQ(t.listItems[0].size(), kPrinterNameCapacity);
    EXPECT_EQ(t.rows[1].printerName.size(), kPrinterNameCapacity);
    EXPECT_EQ(t.rows[1].model.size(), kModelCapacity);
    EXPECT_EQ(t.rows[1].gpdFile.size(), kGpdFileCapacity);
    EXPECT_EQ(t.rows[1].vidPid.size(), kVidPidCapacity);
    EXPECT_EQ(t.rows[1].hardwareId.size(), kHardwareIdCapacity);
    EXPECT_EQ(t.rows[1].paperHeight, 2);

    ScratchDir dir;
    ModelTable none = ReadModelTable(dir.Path());
    EXPECT_EQ(none.FilledRows(), 0u);
    EXPECT_EQ(none.selectedRow, 0);
    ModelTable headingOnly = ParseModelTable(AsBytes(Utf16File({std::u16string(kHeading + 1)})));
    EXPECT_EQ(headingOnly.selectedRow, 0);
}

// The files of installer/payload-files, as the build packs them, go through
// the start-up path: extraction into Documents, then both parsers.
TEST(ShippedConfiguration, ParsesAsIntended) {
    ScratchDir dir;
    auto pkg = BuildPackage(SourcesFromFolder(kPayloadFiles));
    EXPECT_EQ(ListPackage(pkg).entries.size(), 25u);
    ExtractReport r = ExtractConfigFiles(pkg, dir / "Documents");
    EXPECT_EQ(Tree(dir / "Documents"),
              (std::vector<std::string>{"InstallConfig_cn.txt", "InstallConfig_en.txt", "PrinterName.txt"}));

    struct Lang {
        int ui;
        const char16_t* module;
    };
    for (Lang l : {Lang{0, u"LNGENU.DLL"}, Lang{1, u"LNGZHS.DLL"}}) {
        InstallerTexts t;
        ASSERT_TRUE(ReadInstallerTexts(dir / "Documents" / InstallConfigFileName(l.ui), t));
        EXPECT_EQ(Names(t).size(), 7u);
        EXPECT_FALSE(t.title.empty());
        EXPECT_EQ(t.productName, u"POS Printer Printer");
        EXPECT_EQ(t.driverName, u"POS Printer Driver");
        EXPECT_EQ(t.monitorName, u"POS USB Printer Monitor");
        EXPECT_EQ(t.portName, u"POS USB Printer Monitor:");
        EXPECT_EQ(t.programFolderName, u"POS Printer Driver V 1.0");
        EXPECT_EQ(t.languageModule, l.module);
        for (const auto& page : t.pageText) {
            EXPECT_FALSE(page.empty());
            EXPECT_LE(page.size(), kPageTextCapacity);
            EXPECT_EQ(page.back(), u'\n');
            EXPECT_EQ(page.find(u'\r'), std::u16string::npos);
        }
    }
    // The Russian choice on this package has no file: defaults apply.
    InstallerTexts ru;
    EXPECT_FALSE(ReadInstallerTexts(dir / "Documents" / InstallConfigFileName(2), ru));
    EXPECT_EQ(ru.monitorName, u"USB Printer Monitor");

    auto tn = base::ReadWholeFile(kPayloadFiles / "InstallConfig_tn.txt");
    ASSERT_TRUE(tn);
    EXPECT_EQ(ParseInstallerTexts(AsBytes(*tn)).languageModule, u"LNGZHT.DLL");

    ModelTable models = ReadModelTable(dir / "Documents");
    EXPECT_EQ(models.listItems, (std::vector<std::u16string>{u"POS80", u"POS58", u"POS72", u"POS110"}));
    EXPECT_EQ(models.rows[1].vidPid, u"vid_0418&pid_5011");
    EXPECT_EQ(models.rows[1].gpdFile, u"ESC.GPD");
    EXPECT_EQ(models.rows[1].hardwareId, u"UnknownPrinter");
    EXPECT_EQ(models.rows[1].resolution, 203);
    EXPECT_EQ(models.rows[1].paperWidth, 800);
    EXPECT_EQ(models.rows[1].paperHeight, 2100);
    EXPECT_EQ(models.rows[4].model, u"POS110");
    EXPECT_EQ(models.rows[4].paperWidth, 1100);
}

TEST(TextTable, LookupRules) {
    ScratchDir dir;
    const fs::path ini = dir / "Text.ini";
    EXPECT_EQ(LookupTextIn(ini, u"Next", u"Next"), u"Next");  // no file
    WriteFile(ini, Utf16File({u"; comment", u"[Other]", u"Next=Wrong", u" [ text ] ",
                              u"Next = Далее ", u"Please select model=Выберите модель",
                              u"BACK=\"  Назад  \"", u"Next=Second", u"Long=" + std::u16string(600, u'x'),
                              u"Empty="}));
    struct Case {
        std::u16string key, fallback, expected;
        std::size_t buffer = kLookupBuffer;
    };
    const std::vector<Case> cases = {
        {u"Next", u"Next", u"Далее"},
        {u"next", u"Next", u"Далее"},
        {u"Please select model", u"Please select model", u"Выберите модель"},
        {u"Back", u"Back", u"  Назад  "},
        {u"Browse", u"Browse", u"Browse"},
        {u"Long", u"", std::u16string(509, u'x')},
        {u"Long", u"", std::u16string(511, u'x'), kLookupBufferLanguageEn},
        {u"Empty", u"dflt", u""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(LookupTextIn(ini, c.key, c.fallback, c.buffer), c.expected) << base::Utf16ToUtf8(c.key);

    // UTF-8 without BOM is read as well.
    WriteFile(ini, "[Text]\nNext=Weiter\n");
    EXPECT_EQ(LookupTextIn(ini, u"Next", u"Next"), u"Weiter");

    // LookupText reads <Documents>/Text.ini afresh every time.
    ::setenv("XDG_DOCUMENTS_DIR", dir.Path().c_str(), 1);
    ::unsetenv("LUMBRA_ROOT");
    EXPECT_EQ(LookupText(u"Next", u"Next"), u"Weiter");
    WriteFile(ini, Utf16File({u"[Text]", u"Next=Далее"}));
    EXPECT_EQ(LookupText(u"Next", u"Next"), u"Далее");
    EXPECT_EQ(PageTitle(kComplete, kRussian), u"Setup Complete");
    WriteFile(ini, Utf16File({u"[Text]", u"Setup Complete=Готово"}));
    EXPECT_EQ(PageTitle(kComplete, kRussian), u"Готово");
    fs::remove(ini);
    EXPECT_EQ(LookupText(u"Next", u"Next"), u"Next");
    ::unsetenv("XDG_DOCUMENTS_DIR");
}

TEST(TextTable, BuiltinsKeysAndFonts) {
    EXPECT_EQ(TextKeys().size(), 26u);
    EXPECT_EQ(DefaultText(u"DriverTitle"), u"Model:");
    EXPECT_EQ(DefaultText(u"SelectLanguageCN"), u"选择语言");
    EXPECT_EQ(DefaultText(u"unknown"), u"");
    EXPECT_EQ(PageTitle(kChooseFolder, kChinese), u"选择安装文件夹");
    EXPECT_EQ(PageTitle(kChooseFolder, kEnglish), u"Choose installation folder");
    EXPECT_EQ(PageTitle(kWelcome, kEnglish), u"");
    EXPECT_EQ(PageBody(kComplete, u"", false), u"V380 printer driver has been successfully installed in your computer. ");
    EXPECT_EQ(PageBody(kFailed, u"", true), u"打印机驱动安装失败。 ");
    EXPECT_EQ(PageBody(kFailed, u"configured\n", true), u"configured\n");
    EXPECT_EQ(PageBody(kPrinterSetting, u"", false), u"");
    EXPECT_EQ(std::u16string(FindPageBuiltin(kWelcome)->bodyEnglish).substr(0, 27), u"Welcome use V380 printer.\n\n");
    FontSpec f = FontFor(FontUse::Heading, kRussian);
    EXPECT_EQ(std::u16string(f.face), u"Times New Roman");
    EXPECT_EQ(f.height, 18);
    EXPECT_EQ(f.weight, 800);
    EXPECT_EQ(FontFor(FontUse::Caption, kEnglish).face, nullptr);
    EXPECT_EQ(FontFor(FontUse::LanguageList, kChinese).charset, 204);
    EXPECT_EQ(FontFor(FontUse::PageTitle, kChinese).charset, 134);
}

}  // namespace
}  // namespace payload::test
