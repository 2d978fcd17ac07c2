// Pixel checks of the wizard panel: header band, logo clipping, the line at
// y = 54, text origins and line steps, the folder frame's 13 segments, the
// flat folder field and the dialog's etched edge.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QPainter>
#include <set>

#include "installer/wizard/WizardPanel.h"
#include "installer/wizard/tests/GuiTestSupport.h"

using namespace wizard;
using wizardtest::DarkBox;
using wizardtest::Render;
using wizardtest::Rgb;

namespace {

const std::string kGrey = "236,233,216";
const std::string kWhite = "255,255,255";
const std::string kShadow = "172,168,153";
const std::string kFrame = "208,208,191";

struct PanelFixture : ::testing::Test {
    void SetUp() override {
        wizardtest::App();
        ASSERT_TRUE(docs.isValid());
        env.documents = docs.path();
        dialog = std::make_unique<QWidget>();
        dialog->resize(523, 365);
    }
    CWizardWnd& Panel(UiLanguage language = UiLanguage::English) {
        env.language = language;
        panel = std::make_unique<CWizardWnd>(env, QStringLiteral("/opt"), dialog.get());
        return *panel;
    }
    void WriteLogo(const QImage& image, const char* name = "Logo.bmp", const char* format = "BMP") {
        ASSERT_TRUE(image.save(docs.filePath(QString::fromLatin1(name)), format));
    }
    QTemporaryDir docs;
    WizardEnvironment env;
    std::unique_ptr<QWidget> dialog;
    std::unique_ptr<CWizardWnd> panel;
};

TEST_F(PanelFixture, PanelCoversClientAreaLessTwoAndFifty) {
    CWizardWnd& p = Panel();
    EXPECT_EQ(p.geometry(), QRect(0, 0, 521, 315));
    EXPECT_EQ(p.folderField()->geometry(), QRect(QPoint(38, 182), QPoint(361, 203)));
    EXPECT_FALSE(p.folderField()->isVisibleTo(&p));
    EXPECT_EQ(p.FolderText(), QStringLiteral("/opt/USB Printer"));
    EXPECT_EQ(p.statusLine(), QStringLiteral("Please wait..."));
    env.programFolderName = QStringLiteral("POS Printer Driver V 1.0");
    CWizardWnd& cn = Panel(UiLanguage::Chinese);
    EXPECT_EQ(cn.FolderText(), QStringLiteral("/opt/POS Printer Driver V 1.0"));
    EXPECT_EQ(cn.statusLine(), QString::fromUtf16(u"请稍候..."));
    EXPECT_TRUE(cn.chineseFlag);
}

TEST_F(PanelFixture, HeaderBandLineAndBackgroundOnEveryPageButWelcome) {
    CWizardWnd& p = Panel();
    for (int page : {kChooseFolder, kPrinterSetting, kInstalling, kComplete, kFailed}) {
        SCOPED_TRACE(page);
        p.page = page;
        const QImage image = Render(p);
        const int w = image.width();
        for (int x = 0; x < w; ++x) ASSERT_EQ(Rgb(image, x, 54), kShadow) << "x=" << x;
        for (int y = 0; y < 54; ++y) {
            ASSERT_EQ(Rgb(image, w - 1, y), kWhite) << "y=" << y;  // no logo file: band stays white
            ASSERT_EQ(Rgb(image, 5, y), kWhite) << "y=" << y;
        }
        EXPECT_EQ(Rgb(image, 0, 55), kGrey);
        EXPECT_EQ(Rgb(image, w - 1, image.height() - 1), kGrey);
        EXPECT_EQ(Rgb(image, 3, 300), kGrey);
    }
}

TEST_F(PanelFixture, LogoShowsOnlyItsTopLeft200By54) {
    QImage logo(300, 80, QImage::Format_RGB32);
    logo.fill(QColor(0, 0, 255));
    QPainter(&logo).fillRect(QRect(0, 0, 200, 54), QColor(255, 0, 0));
    logo.setPixelColor(0, 0, QColor(0, 255, 0));
    logo.setPixelColor(199, 53, QColor(0, 255, 0));
    WriteLogo(logo);
    CWizardWnd& p = Panel();
    p.page = kPrinterSetting;
    const QImage image = Render(p);
    const int w = image.width();
    EXPECT_EQ(Rgb(image, w - 200, 0), "0,255,0");
    EXPECT_EQ(Rgb(image, w - 1, 53), "0,255,0");
    EXPECT_EQ(Rgb(image, w - 100, 30), "255,0,0");
    EXPECT_EQ(Rgb(image, w - 201, 30), kWhite);
    EXPECT_EQ(Rgb(image, w - 100, 54), kShadow);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < w; ++x) ASSERT_NE(Rgb(image, x, y), "0,0,255") << x << "," << y;
}

TEST_F(PanelFixture, SmallLogoSitsAtTheBandsRightPartAndNonBitmapIsIgnored) {
    QImage small(50, 20, QImage::Format_RGB32);
    small.fill(QColor(255, 0, 0));
    WriteLogo(small, "logo.bmp");  // the name the package stores
    CWizardWnd& p = Panel();
    p.page = kComplete;
    QImage image = Render(p);
    const int w = image.width();
    EXPECT_EQ(Rgb(image, w - 200, 0), "255,0,0");
    EXPECT_EQ(Rgb(image, w - 151, 19), "255,0,0");
    EXPECT_EQ(Rgb(image, w - 150, 19), kWhite);
    EXPECT_EQ(Rgb(image, w - 200, 20), kWhite);

    // A PNG under the bitmap's name is not a bitmap: no logo, no complaint.
    QFile::remove(docs.filePath(QStringLiteral("logo.bmp")));
    WriteLogo(small, "Logo.bmp", "PNG");
    image = Render(p);
    EXPECT_EQ(Rgb(image, w - 200, 0), kWhite);
}

TEST_F(PanelFixture, TitleStartsAtFifteenTen) {
    CWizardWnd& p = Panel();
    p.page = kPrinterSetting;
    const QImage image = Render(p);
    const QFontMetrics fm(PageTitleFont(UiLanguage::English));
    const QRect glyphs = fm.tightBoundingRect(QStringLiteral("Printer Setting"));
    const QRect box = DarkBox(image, QRect(0, 0, 300, 54));
    ASSERT_FALSE(box.isNull());
    EXPECT_NEAR(box.left(), 15 + glyphs.left(), 1);
    EXPECT_NEAR(box.top(), 10 + fm.ascent() + glyphs.top(), 1);
    EXPECT_NEAR(box.bottom(), 10 + fm.ascent() + glyphs.bottom(), 1);
}

// Rows below the header that hold text, as runs [first, last].
std::vector<std::pair<int, int>> TextRows(const QImage& image, int fromY, int toY, int x0, int x1) {
    std::vector<std::pair<int, int>> runs;
    for (int y = fromY; y < toY; ++y) {
        const bool dark = !DarkBox(image, QRect(x0, y, x1 - x0, 1)).isNull();
        if (dark && (runs.empty() || runs.back().second != y - 1)) runs.push_back({y, y});
        else if (dark) runs.back().second = y;
    }
    return runs;
}

TEST_F(PanelFixture, ResultTextLinesAre103PixelsApartFromSeventy) {
    env.pageTexts[3] = QStringLiteral("Installed\nAll done\n");
    env.pageTexts[5] = QStringLiteral("It failed");
    CWizardWnd& p = Panel();
    p.page = kComplete;
    QImage image = Render(p);
    const QFontMetrics fm(BodyFont(UiLanguage::English));
    const QRect first = DarkBox(image, QRect(0, 56, image.width(), 100));
    const QRect second = DarkBox(image, QRect(0, 160, image.width(), 120));
    ASSERT_FALSE(first.isNull());
    ASSERT_FALSE(second.isNull());
    EXPECT_NEAR(first.left(), 28 + fm.tightBoundingRect(QStringLiteral("I")).left(), 1);
    EXPECT_NEAR(first.top(), 70 + fm.ascent() + fm.tightBoundingRect(QStringLiteral("Installed")).top(), 1);
    EXPECT_NEAR(second.top() - first.top(),
                103 + fm.tightBoundingRect(QStringLiteral("All done")).top() -
                    fm.tightBoundingRect(QStringLiteral("Installed")).top(), 1);
    p.page = kFailed;
    image = Render(p);
    EXPECT_EQ(TextRows(image, 56, image.height(), 0, image.width()).size(), 1u);
}

TEST_F(PanelFixture, FolderPageTextThirteenPixelSteps) {
    env.pageTexts[1] = QStringLiteral("A\nA\nA\n");
    CWizardWnd& p = Panel();
    p.page = kChooseFolder;
    const QImage image = Render(p);
    const auto rows = TextRows(image, 56, 160, 20, 100);
    ASSERT_EQ(rows.size(), 3u);
    const QFontMetrics fm(BodyFont(UiLanguage::English));
    EXPECT_EQ(rows[0].first, 70 + fm.ascent() + fm.tightBoundingRect(QStringLiteral("A")).top());
    EXPECT_EQ(rows[1].first - rows[0].first, 13);
    EXPECT_EQ(rows[2].first - rows[1].first, 13);
}

TEST_F(PanelFixture, StatusLineAtTwentyEightOneSixty) {
    env.pageTexts[2] = QStringLiteral(" ");
    CWizardWnd& p = Panel();
    p.page = kInstalling;
    p.SetStatusLine(QStringLiteral("drvui.dll"));
    const QImage image = Render(p);
    const QFontMetrics fm(BodyFont(UiLanguage::English));
    const QRect box = DarkBox(image, QRect(0, 140, image.width(), 60));
    const QRect glyphs = fm.tightBoundingRect(QStringLiteral("drvui.dll"));
    EXPECT_NEAR(box.left(), 28 + glyphs.left(), 1);
    EXPECT_NEAR(box.top(), 160 + fm.ascent() + glyphs.top(), 1);
}

TEST_F(PanelFixture, WelcomePageSidePictureAndHeadingOrigin) {
    for (UiLanguage language : {UiLanguage::English, UiLanguage::Chinese}) {
        SCOPED_TRACE(static_cast<int>(language));
        env.pageTexts[0] = QStringLiteral("Hello\nworld\n");
        CWizardWnd& p = Panel(language);
        const QImage image = Render(p);
        const QImage side = SidePicture();
        ASSERT_EQ(side.size(), QSize(163, 295));
        EXPECT_EQ(Rgb(image, 0, 0), Rgb(side.pixelColor(0, 0)));
        EXPECT_EQ(Rgb(image, 162, 294), Rgb(side.pixelColor(162, 294)));
        EXPECT_EQ(Rgb(image, 163, 0), kWhite);
        EXPECT_EQ(Rgb(image, 10, 300), kWhite);
        const int x = language == UiLanguage::Chinese ? 192 : 180;
        const QFontMetrics heading(HeadingFont(language));
        const QRect box = DarkBox(image, QRect(164, 0, image.width() - 164, 40));
        EXPECT_NEAR(box.left(), x + heading.tightBoundingRect(QStringLiteral("H")).left(), 1);
        EXPECT_NEAR(box.top(), 20 + heading.ascent() + heading.tightBoundingRect(QStringLiteral("Hello")).top(), 1);
        const auto rows = TextRows(image, 0, 120, 170, image.width());
        ASSERT_EQ(rows.size(), 2u);
        const QFontMetrics body(BodyFont(language));
        EXPECT_NEAR(rows[1].first, 50 + body.ascent() + body.tightBoundingRect(QStringLiteral("world")).top(), 1);
    }
}

TEST_F(PanelFixture, WelcomeTextStaysInsideThePanel) {
    CWizardWnd& p = Panel(UiLanguage::Chinese);  // the built-in Chinese text has long lines
    const QImage image = Render(p);
    const QRect box = DarkBox(image, QRect(164, 0, image.width() - 164, image.height()));
    EXPECT_LT(box.right(), image.width() - 1);
    EXPECT_GT(box.bottom(), 100);
}

TEST(TitledFrameTest, ThirteenSegmentsExactly) {
    wizardtest::App();
    const int L = 26, T = 168, R = 453, B = 218;
    QImage image(480, 240, QImage::Format_RGB32);
    image.fill(Qt::white);
    const QFont font = BodyFont(UiLanguage::English);
    const QString caption = QStringLiteral("Target folder");
    {
        QPainter painter(&image);
        painter.setPen(QColor(1, 1, 1));
        TitledFrame(painter, L, T, R, B, caption, &font);
        EXPECT_EQ(painter.pen().color(), QColor(1, 1, 1));  // pen and font restored
    }
    const QFontMetrics fm(font);
    const int W = fm.horizontalAdvance(caption);
    std::set<std::pair<int, int>> expected;
    auto seg = [&](int x1, int y1, int x2, int y2) {
        if (y1 == y2) for (int x = std::min(x1, x2); x < std::max(x1, x2) + (x2 < x1); ++x)
            expected.insert({x2 < x1 ? x + 1 : x, y1});
        else for (int y = std::min(y1, y2); y < std::max(y1, y2); ++y) expected.insert({x1, y2 < y1 ? y + 1 : y});
    };
    seg(L + 2, T, L + 7, T);       seg(L + 8 + W, T, R - 2, T);   seg(L + 1, T + 1, L + 2, T + 1);
    seg(L, T + 2, L + 1, T + 2);   seg(L, T + 2, L, B - 2);       seg(L, B - 2, L + 1, B - 2);
    seg(L + 1, B - 1, L + 2, B - 1); seg(L + 2, B, R - 2, B);     seg(R - 2, B - 1, R - 1, B - 1);
    seg(R - 1, B - 2, R, B - 2);   seg(R, B - 3, R, T + 2);       seg(R - 1, T + 2, R, T + 2);
    seg(R - 2, T + 1, R - 1, T + 1);
    // Spot checks of the table's ends: exclusive end points.
    EXPECT_TRUE(expected.count({L + 2, T}) && expected.count({L + 6, T}) && !expected.count({L + 7, T}));
    EXPECT_TRUE(expected.count({R, T + 3}) && !expected.count({R, T + 2}) && expected.count({R - 1, T + 2}));
    const QRect captionBox(L + 8, T - fm.height(), W, 2 * fm.height());
    for (int y = T - 10; y <= B + 2; ++y) {
        for (int x = L - 2; x <= R + 2; ++x) {
            const bool want = expected.count({x, y}) > 0;
            if (!want && captionBox.contains(x, y)) continue;
            ASSERT_EQ(Rgb(image, x, y) == kFrame, want) << "pixel " << x << "," << y << " is " << Rgb(image, x, y);
        }
    }
    // The caption: RGB(0,70,213) (blended into white at glyph edges) from
    // left + 8, centred on the top edge.
    const QRect glyphs = fm.tightBoundingRect(caption);
    QRect blue;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (const QColor c = image.pixelColor(x, y); c.blue() > c.red() + 60 && c.blue() > c.green() + 40)
                blue |= QRect(x, y, 1, 1);
    ASSERT_FALSE(blue.isNull());
    EXPECT_NEAR(blue.left(), L + 8 + glyphs.left(), 1);
    EXPECT_NEAR(blue.top(), T - fm.height() / 2 + fm.ascent() + glyphs.top(), 1);
}

TEST(TitledFrameTest, FolderPageDrawsTheFrameAroundTheField) {
    wizardtest::App();
    QTemporaryDir docs;
    WizardEnvironment env;
    env.documents = docs.path();
    QWidget dialog;
    dialog.resize(523, 365);
    CWizardWnd p(env, QStringLiteral("/opt"), &dialog);
    p.page = kChooseFolder;
    p.ShowFolderField(true);
    const QImage image = Render(p);
    EXPECT_EQ(Rgb(image, 28, 168), kFrame);   // segment 1
    EXPECT_EQ(Rgb(image, 26, 190), kFrame);   // left edge
    EXPECT_EQ(Rgb(image, 200, 218), kFrame);  // bottom edge
    EXPECT_EQ(Rgb(image, 453, 190), kFrame);  // right edge
    EXPECT_EQ(Rgb(image, 26, 168), kGrey);    // rounded corner left open
    // The flat field's border inside it.
    EXPECT_EQ(Rgb(image, 38, 182), "127,157,187");
    EXPECT_EQ(Rgb(image, 361, 203), "127,157,187");
    EXPECT_EQ(Rgb(image, 200, 182), "127,157,187");
    EXPECT_EQ(Rgb(image, 39, 183), kWhite);
}

TEST(WrapTextTest, LineFeedsWidthAndLastLine) {
    wizardtest::App();
    const QFontMetrics fm(BodyFont(UiLanguage::English));
    EXPECT_TRUE(WrapText(fm, QString(), 100).isEmpty());
    EXPECT_EQ(WrapText(fm, QStringLiteral("ab\ncd"), 1000), (QStringList{"ab\n", "cd"}));
    EXPECT_EQ(WrapText(fm, QStringLiteral("ab\n"), 1000), (QStringList{"ab\n"}));
    EXPECT_EQ(WrapText(fm, QStringLiteral("\n\n"), 1000), (QStringList{"\n", "\n"}));
    // The character that makes a line too wide closes it and stays in it.
    const int w = fm.horizontalAdvance(QStringLiteral("aaa"));
    const QStringList lines = WrapText(fm, QStringLiteral("aaaaaaaa"), w);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("aaaa"));
    EXPECT_EQ(lines[1], QStringLiteral("aaaa"));
}

TEST(EtchedLineTest, TwoLinesAboveTheButtons) {
    QImage image(100, 80, QImage::Format_RGB32);
    image.fill(QColor(1, 2, 3));
    {
        QPainter painter(&image);
        PaintEtchedLine(painter, 100, 80);
    }
    EXPECT_EQ(Rgb(image, 0, 30), "1,2,3");
    EXPECT_EQ(Rgb(image, 99, 30), "1,2,3");
    for (int x = 1; x < 99; ++x) {
        ASSERT_EQ(Rgb(image, x, 30), kShadow);
        ASSERT_EQ(Rgb(image, x, 31), kWhite);
        ASSERT_EQ(Rgb(image, x, 29), "1,2,3");
        ASSERT_EQ(Rgb(image, x, 32), "1,2,3");
    }
}

}  // namespace
