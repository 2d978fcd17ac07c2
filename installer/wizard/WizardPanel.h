#pragma once
// The owner-drawn upper part of the install wizard: the side picture and
// welcome text on the first page, a white header band with the page title and
// the logo on the others, the page texts, the folder frame and the status line.
#include <functional>

#include <QImage>
#include <QLineEdit>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "installer/wizard/WizardTexts.h"

class QPainter;

namespace wizard {

// Breaks text into lines no wider than maxWidth in the painter's font. A line
// ends after the character that makes it too wide, or after a line feed; the
// closing character stays in its line. An empty text gives no lines.
QStringList WrapText(const QFontMetrics& metrics, const QString& text, int maxWidth);

// A frame with its caption on the top edge: the caption in RGB(0,70,213) at
// left + 8, centred on the top edge, and 13 one-pixel segments in
// RGB(208,208,191) with rounded corners. rect is given by its edges (left,
// top, right, bottom). The painter's font and pen are left as they were.
void TitledFrame(QPainter& painter, int left, int top, int right, int bottom,
                 const QString& caption, const QFont* font = nullptr);

// Fills the pixels from (x1, y1) up to, not including, (x2, y2) of a
// horizontal or vertical segment.
void DrawSegment(QPainter& painter, int x1, int y1, int x2, int y2, const QColor& color);

// An edit field that leaves its background alone, so that the flat frame
// around it shows through.
class CMyEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit CMyEdit(QWidget* parent) : QLineEdit(parent) {}
};

// The folder field: a thin RGB(127,157,187) border around a borderless edit.
class CFlatEdit : public QWidget {
    Q_OBJECT
public:
    // Created hidden over rect of parent.
    CFlatEdit(const QRect& rect, QWidget* parent);
    CMyEdit* edit() const { return edit_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    CMyEdit* edit_;
};

class CWizardWnd : public QWidget {
    Q_OBJECT
public:
    // Covers the parent's client area from its origin, 2 pixels narrower and
    // 50 pixels shorter. defaultFolder is the expanded program folder.
    CWizardWnd(const WizardEnvironment& env, const QString& programFilesFolder, QWidget* parent);
    ~CWizardWnd() override;

    int page = kWelcome;
    bool chineseFlag = false;
    bool usbFlag = false;

    void ShowFolderField(bool show);
    QString FolderText() const;
    void SetFolderText(const QString& text);
    CFlatEdit* folderField() const { return folderField_; }

    QString statusLine() const { return statusLine_; }
    void SetStatusLine(const QString& text);

    // Runs when the panel goes away (the install folder clean-up).
    void SetDestroyHook(std::function<void()> hook) { destroyHook_ = std::move(hook); }

    // Paints the current page into painter, clipped to the panel's size.
    void PaintPage(QPainter& painter);

    const WizardEnvironment& environment() const { return env_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void PaintWelcome(QPainter& painter);
    void PaintHeader(QPainter& painter);
    void DrawLines(QPainter& painter, const QStringList& lines, int x, int y, int step);

    WizardEnvironment env_;
    CFlatEdit* folderField_;
    QString statusLine_;
    std::function<void()> destroyHook_;
};

// Paints the dialog's etched edge above the button row: two lines from
// x = 1 to width - 1 at height - 50 (RGB(172,168,153)) and height - 49 (white).
void PaintEtchedLine(QPainter& painter, int width, int height);

// The side picture of the welcome page, 163 x 295.
QImage SidePicture();
// Registers the embedded pictures and icons (needed once in a static library).
void InitWizardResources();

}  // namespace wizard
