#include "installer/wizard/WizardPanel.h"

#include <QFontMetrics>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include "installer/engine/Engine.h"
#include "installer/payload/InstallerConfig.h"

static void InitWizardResourcesOnce() { Q_INIT_RESOURCE(wizard_resources); }

namespace wizard {

void InitWizardResources() {
    static const bool done = (InitWizardResourcesOnce(), true);
    (void)done;
}

namespace {

const QColor kHeaderGrey(236, 233, 216);
const QColor kEdgeShadow(172, 168, 153);
const QColor kFrameLine(208, 208, 191);
const QColor kFrameCaption(0, 70, 213);
const QColor kFlatBorder(127, 157, 187);

constexpr int kHeaderHeight = 54;
constexpr int kLogoWidth = 200;

QString Visible(QString line) {
    while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r'))) line.chop(1);
    return line;
}

// "Logo.bmp" in any spelling ("logo.bmp" as the package names it), read as
// the configuration files are (no link, no FIFO, bounded). Only a real
// bitmap counts.
QImage LoadLogo(const QString& documents) {
    const auto bytes = payload::ReadDocumentsFile(documents.toStdString(), "Logo.bmp");
    if (!bytes) return {};
    QImage image;
    image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()), "BMP");
    return image;
}

}  // namespace

QStringList WrapText(const QFontMetrics& metrics, const QString& text, int maxWidth) {
    QStringList lines;
    QString current;
    for (QChar c : text) {
        current.append(c);
        if (c == QLatin1Char('\n') || metrics.horizontalAdvance(Visible(current)) > maxWidth) {
            lines.append(current);
            current.clear();
        }
    }
    if (!current.isEmpty()) lines.append(current);
    return lines;
}

void DrawSegment(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& color) {
    if (y1 == y2) {
        const int from = std::min(x1, x2 + (x2 < x1 ? 1 : 0));
        const int to = x2 < x1 ? x1 : x2 - 1;
        if (to >= from) painter.fillRect(QRect(QPoint(from, y1), QPoint(to, y1)), color);
    } else if (x1 == x2) {
        const int from = y2 < y1 ? y2 + 1 : y1;
        const int to = y2 < y1 ? y1 : y2 - 1;
        if (to >= from) painter.fillRect(QRect(QPoint(x1, from), QPoint(x1, to)), color);
    }
}

void TitledFrame(QPainter& painter, int L, int T, int R, int B, const QString& caption,
                 const QFont* font) {
    painter.save();
    painter.setFont(font ? *font : FrameDefaultFont());
    const QFontMetrics metrics = painter.fontMetrics();
    const int W = metrics.horizontalAdvance(caption);
    const int captionTop = T - metrics.height() / 2;
    painter.setPen(kFrameCaption);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.drawText(L + 8, captionTop + metrics.ascent(), caption);
    const int segments[13][4] = {
        {L + 2, T, L + 7, T},          {L + 8 + W, T, R - 2, T},      {L + 1, T + 1, L + 2, T + 1},
        {L, T + 2, L + 1, T + 2},      {L, T + 2, L, B - 2},          {L, B - 2, L + 1, B - 2},
        {L + 1, B - 1, L + 2, B - 1},  {L + 2, B, R - 2, B},          {R - 2, B - 1, R - 1, B - 1},
        {R - 1, B - 2, R, B - 2},      {R, B - 3, R, T + 2},          {R - 1, T + 2, R, T + 2},
        {R - 2, T + 1, R - 1, T + 1},
    };
    for (const auto& s : segments) DrawSegment(painter, s[0], s[1], s[2], s[3], kFrameLine);
    painter.restore();
}

void PaintEtchedLine(QPainter& painter, int width, int height) {
    DrawSegment(painter, 1, height - 50, width - 1, height - 50, kEdgeShadow);
    DrawSegment(painter, 1, height - 49, width - 1, height - 49, Qt::white);
}

QImage SidePicture() {
    InitWizardResources();
    return QImage(QStringLiteral(":/lumbra/side.png"));
}

// ---------------------------------------------------------------- CFlatEdit

CFlatEdit::CFlatEdit(const QRect& rect, QWidget* parent) : QWidget(parent), edit_(new CMyEdit(this)) {
    setGeometry(rect);
    edit_->setFrame(false);
    edit_->setAutoFillBackground(false);
    edit_->setAttribute(Qt::WA_NoSystemBackground);
    edit_->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; }"));
    edit_->setGeometry(2, 3, rect.width() - 1 - 2, rect.height() - 1 - 3);
    edit_->setFont(FolderFieldFont());
    edit_->setMaxLength(255);
    hide();
}

void CFlatEdit::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    const int w = width();
    const int h = height();
    DrawSegment(painter, 0, 0, w, 0, kFlatBorder);
    DrawSegment(painter, 0, h - 1, w, h - 1, kFlatBorder);
    DrawSegment(painter, 0, 0, 0, h, kFlatBorder);
    DrawSegment(painter, w - 1, 0, w - 1, h, kFlatBorder);
}

// --------------------------------------------------------------- CWizardWnd

CWizardWnd::CWizardWnd(const WizardEnvironment& env, const QString& programFilesFolder, QWidget* parent)
    : QWidget(parent), env_(env) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setCursor(Qt::ArrowCursor);
    if (parent) setGeometry(0, 0, parent->width() - 2, parent->height() - 50);
    chineseFlag = env_.language == UiLanguage::Chinese;
    folderField_ = new CFlatEdit(QRect(QPoint(38, 182), QPoint(361, 203)), this);
    const std::filesystem::path folder = engine::DefaultInstallFolder(
        programFilesFolder.toStdString(), env_.programFolderName.toStdU16String());
    SetFolderText(QString::fromStdString(folder.string()));
    statusLine_ = InitialStatusLine(chineseFlag);
}

CWizardWnd::~CWizardWnd() {
    if (destroyHook_) destroyHook_();
}

void CWizardWnd::ShowFolderField(bool show) {
    folderField_->setVisible(show);
    update();
    repaint();
}

QString CWizardWnd::FolderText() const { return folderField_->edit()->text(); }

void CWizardWnd::SetFolderText(const QString& text) {
    folderField_->edit()->setText(text);
    folderField_->edit()->setModified(true);
}

void CWizardWnd::SetStatusLine(const QString& text) {
    statusLine_ = text;
    repaint();
}

void CWizardWnd::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    PaintPage(painter);
}

void CWizardWnd::DrawLines(QPainter& painter, const QStringList& lines, int x, int y, int step) {
    const QFontMetrics metrics = painter.fontMetrics();
    for (const QString& line : lines) {
        painter.drawText(x, y + metrics.ascent(), Visible(line));
        y += step;
    }
}

void CWizardWnd::PaintWelcome(QPainter& painter) {
    painter.fillRect(rect(), Qt::white);
    painter.drawImage(QPoint(0, 0), SidePicture());
    const int x = chineseFlag ? 192 : 180;
    // Wrapped to the room right of the picture, so that no line runs past the
    // panel's right edge.
    const QFont heading = HeadingFont(env_.language);
    const QFont body = BodyFont(env_.language);
    painter.setFont(body);
    const QStringList lines = WrapText(painter.fontMetrics(), PageBody(env_, chineseFlag, kWelcome),
                                       width() - x - 10);
    int y = 20;
    for (int i = 0; i < lines.size(); ++i) {
        painter.setFont(i == 0 ? heading : body);
        painter.drawText(x, y + painter.fontMetrics().ascent(), Visible(lines[i]));
        y += i == 0 ? 30 : 16;
    }
}

void CWizardWnd::PaintHeader(QPainter& painter) {
    const int w = width();
    painter.fillRect(rect(), kHeaderGrey);
    painter.fillRect(QRect(0, 0, w, kHeaderHeight), Qt::white);
    const QImage logo = LoadLogo(env_.documents);
    if (!logo.isNull()) {
        painter.drawImage(QPoint(w - kLogoWidth, 0), logo,
                          QRect(0, 0, std::min(logo.width(), kLogoWidth), std::min(logo.height(), kHeaderHeight)));
    }
    DrawSegment(painter, 0, kHeaderHeight, w, kHeaderHeight, kEdgeShadow);
    painter.setFont(PageTitleFont(env_.language));
    painter.drawText(15, 10 + painter.fontMetrics().ascent(), PageTitle(env_, page));
}

void CWizardWnd::PaintPage(QPainter& painter) {
    painter.save();
    painter.setClipRect(rect());
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setPen(Qt::black);
    if (page == kWelcome) {
        PaintWelcome(painter);
        painter.restore();
        return;
    }
    PaintHeader(painter);
    const QFont body = BodyFont(env_.language);
    painter.setFont(body);
    painter.setPen(Qt::black);
    const QFontMetrics metrics = painter.fontMetrics();
    switch (page) {
    case kChooseFolder: {
        DrawLines(painter, WrapText(metrics, PageBody(env_, chineseFlag, page), width() - 56), 28, 70, 13);
        TitledFrame(painter, 26, 168, 453, 218, FolderFrameCaption(env_), &body);
        break;
    }
    case kInstalling:
        DrawLines(painter, WrapText(metrics, PageBody(env_, chineseFlag, page), width() - 56), 28, 70, 13);
        painter.drawText(28, 160 + metrics.ascent(), statusLine_);
        break;
    case kComplete:
    case kFailed:
        DrawLines(painter, WrapText(metrics, PageBody(env_, chineseFlag, page), width() - 56), 28, 70, 103);
        break;
    default:
        break;
    }
    painter.restore();
}

}  // namespace wizard
