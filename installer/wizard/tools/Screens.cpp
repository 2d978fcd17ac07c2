// Renders every wizard page, the language windows and the port window in
// English, Chinese and Russian, with the built-in texts, with the shipped
// configuration files and with a Russian "Text.ini", to PNG files:
//   lumbra-screens-render <payload-files folder> <output folder>
// Each picture carries a drawn caption bar, since an offscreen window has none.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "installer/payload/InstallerConfig.h"
#include "installer/payload/Package.h"
#include "base/TextCodec.h"
#include "installer/wizard/InstallDlg.h"
#include "installer/wizard/LanguageWindows.h"
#include "installer/wizard/SelectPortDlg.h"
#include "installer/wizard/WizardApp.h"
#include "platform/fake/services/FakeServiceManager.h"
#include "platform/fake/shell/FakeShellFolders.h"
#include "platform/fake/spooler/FakePrintSpooler.h"
#include "platform/fake/store/MemoryStore.h"
#include "platform/fake/usbreg/FakeUsbRegistry.h"
#include "ui-common/MessageSink.h"
#include "ui-common/WindowShot.h"

namespace {

using namespace wizard;
namespace fs = std::filesystem;

QString gOut;
int gCount = 0;

void Save(QWidget* window, const QString& name) {
    const QImage image = ui::GrabWithTitleBar(*window);
    const QString file = QDir(gOut).filePath(name + QStringLiteral(".png"));
    if (image.save(file)) {
        ++gCount;
        std::printf("%s\n", file.toLocal8Bit().constData());
    }
}

void WaitForWorker(CInstallDlg& dlg) {
    QElapsedTimer timer;
    timer.start();
    while ((dlg.workerRunning() || dlg.page() == kInstalling) && timer.elapsed() < 30000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::processEvents();
}

void WriteUtf16(const QString& path, std::u16string_view text) {
    std::ofstream out(path.toStdString(), std::ios::binary);
    out << base::EncodeUtf16Le(text, true);
}

const char16_t* kRussianTextIni =
    u"[Text]\r\nSelectLanguage=Выбор языка\r\nPleaseSelectLanguage=Выберите язык\r\nCancel=Отмена\r\n"
    u"Chinese=Китайский\r\nEnglish=Английский\r\nRussian=Русский\r\nBack=Назад\r\nNext=Далее\r\n"
    u"Browse=Обзор\r\nDriverTitle=Модель:\r\nPrintTitle=Имя принтера:\r\n"
    u"DefaultPrinter=Использовать по умолчанию\r\nPlease select model=Выберите модель\r\n"
    u"NoSelectPrinter=Выберите драйвер принтера\r\nMsgBoxTitle=Установка драйвера\r\nFinish=Готово\r\n"
    u"Choose installation folder=Выбор папки установки\r\nInstallPath=Папка\r\n"
    u"Printer Setting=Настройка принтера\r\nInstalling=Установка\r\nSetup Complete=Установка завершена\r\n"
    u"Setup Failed=Ошибка установки\r\n";

struct Variant {
    UiLanguage language;
    const char* tag;
    bool shippedConfig;
    bool textIni;
};

const char* LanguageName(UiLanguage language) {
    return language == UiLanguage::Chinese ? "cn" : language == UiLanguage::Russian ? "ru" : "en";
}

// Documents folder for one variant.
QString MakeDocuments(const QString& base, const QString& payloadFiles, const Variant& v) {
    const QString docs = QDir(base).filePath(QStringLiteral("docs-%1-%2").arg(LanguageName(v.language), v.tag));
    QDir().mkpath(docs);
    QFile::copy(QDir(payloadFiles).filePath(QStringLiteral("PrinterName.txt")),
                QDir(docs).filePath(QStringLiteral("PrinterName.txt")));
    if (v.shippedConfig) {
        for (const char* name : {"InstallConfig_en.txt", "InstallConfig_cn.txt", "InstallConfig_rs.txt"}) {
            QFile::copy(QDir(payloadFiles).filePath(QString::fromLatin1(name)),
                        QDir(docs).filePath(QString::fromLatin1(name)));
        }
        // A logo as a brand would ship one: wider than the header band.
        QImage logo(240, 60, QImage::Format_RGB32);
        logo.fill(Qt::white);
        QPainter p(&logo);
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(0, 84, 160));
        p.setPen(Qt::NoPen);
        p.drawRoundedRect(QRectF(70, 10, 34, 34), 6, 6);
        p.setPen(QColor(0, 84, 160));
        QFont f(QStringLiteral("DejaVu Sans"));
        f.setPixelSize(18);
        f.setBold(true);
        p.setFont(f);
        p.drawText(QRect(110, 8, 130, 38), Qt::AlignVCenter, QStringLiteral("POS"));
        p.end();
        logo.save(QDir(docs).filePath(QStringLiteral("logo.bmp")), "BMP");
    }
    if (v.textIni) WriteUtf16(QDir(docs).filePath(QStringLiteral("Text.ini")), kRussianTextIni);
    return docs;
}

void RenderLanguageWindows(const QString& docs, const QString& prefix) {
    {
        CSelectLanguageCN window(docs);
        window.show();
        Save(&window, prefix + QStringLiteral("language-cn-window"));
        window.list()->setCurrentIndex(2);
        Save(&window, prefix + QStringLiteral("language-cn-window-to-russian"));
        window.list()->setCurrentIndex(0);
        Save(&window, prefix + QStringLiteral("language-cn-window-back-to-chinese"));
    }
    {
        CSelectLanguageEn window(docs, false);
        window.show();
        Save(&window, prefix + QStringLiteral("language-en-window"));
    }
    {
        CSelectLanguageEn window(docs, true);
        window.show();
        Save(&window, prefix + QStringLiteral("language-en-textmode"));
        window.list()->setCurrentIndex(0);
        Save(&window, prefix + QStringLiteral("language-en-textmode-to-chinese"));
    }
}

void RenderWizard(const QString& base, const QString& payloadFiles, const Variant& v) {
    const QString docs = MakeDocuments(base, payloadFiles, v);
    const QString prefix = QStringLiteral("%1-%2-").arg(LanguageName(v.language), v.tag);
    if (v.language == UiLanguage::English || v.textIni) RenderLanguageWindows(docs, prefix);

    payload::InstallerTexts texts;
    payload::ReadInstallerTexts(
        QDir(docs).filePath(QString::fromLatin1(payload::InstallConfigFileName(static_cast<int>(v.language))))
            .toStdString(),
        texts);
    const WizardEnvironment env = MakeEnvironment(v.language, docs, texts);

    const fs::path root = QDir(base).filePath(QStringLiteral("root-%1").arg(prefix)).toStdString();
    platform_fake::FakePrintSpooler spooler;
    spooler.driverDirectory = root / "driver";
    spooler.systemDirectory = root / "system";
    fs::create_directories(spooler.driverDirectory);
    fs::create_directories(spooler.systemDirectory);
    spooler.ports = {{"COM1:", "Serial port", "Local Port"},
                     {"COM2:", "Serial port", "Local Port"},
                     {"LPT1:", "Parallel port", "Local Port"},
                     {"USB001", "Virtual printer port for USB", "USB Monitor"}};
    spooler.failures["AddPort"] = 5;  // the monitor port cannot be made: the port window opens
    platform_fake::MemoryStore store;
    platform_fake::FakeServiceManager services;
    platform_fake::FakeShellFolders shell;
    shell.startMenu = root / "menu";
    fs::create_directories(*shell.startMenu);
    platform_fake::FakeUsbRegistry usb;
    usb.AddPrinter("vid_0418&pid_5011", "5&1234", "6&abcd&0", "UnknownPrinter", "USB001");
    ui::RecordingMessageSink messages;
    payload::InstallPackage package = payload::PackageFromBytes(
        payload::BuildPackage(payload::SourcesFromFolder(payloadFiles.toStdString())));

    auto makeServices = [&] {
        WizardServices s(engine::Platform{spooler, store, services, shell, usb}, messages);
        s.package = &package;
        s.programFiles = QString::fromStdString((root / "opt").string());
        return s;
    };

    WizardServices s = makeServices();
    bool portShown = false;
    CInstallDlg* dlgPtr = nullptr;
    s.onPortWindow = [&](CSelectPortDlg& window) {
        QTimer::singleShot(50, &window, [&, w = &window] {
            Save(dlgPtr, prefix + QStringLiteral("page3-installing"));
            Save(w, prefix + QStringLiteral("port-window"));
            w->list()->selectRow(3);
            Save(w, prefix + QStringLiteral("port-window-selected"));
            portShown = true;
            w->accept();
        });
    };
    CInstallDlg dlg(env, texts, std::move(s));
    dlgPtr = &dlg;
    dlg.show();
    Save(&dlg, prefix + QStringLiteral("page0-welcome"));
    dlg.OnNext();
    Save(&dlg, prefix + QStringLiteral("page1-folder"));
    dlg.OnNext();
    Save(&dlg, prefix + QStringLiteral("page2-settings-usb"));
    dlg.portList()->setCurrentIndex(1);
    Save(&dlg, prefix + QStringLiteral("page2-settings-com"));
    dlg.portList()->setCurrentIndex(dlg.portList()->count() - 1);
    dlg.ipField()->setText(QStringLiteral("127.0.0.1"));
    Save(&dlg, prefix + QStringLiteral("page2-settings-last-entry"));
    dlg.portList()->setCurrentIndex(0);
    dlg.OnNext();
    WaitForWorker(dlg);
    Save(&dlg, prefix + QStringLiteral("page4-complete"));

    // A second run that fails.
    spooler.failures["AddPrinter"] = 1801;
    WizardServices s2 = makeServices();
    s2.onPortWindow = [](CSelectPortDlg& window) {
        QTimer::singleShot(0, &window, [w = &window] {
            w->list()->selectRow(0);
            w->accept();
        });
    };
    CInstallDlg failed(env, texts, std::move(s2));
    failed.show();
    failed.OnNext();
    failed.OnNext();
    failed.OnNext();
    WaitForWorker(failed);
    Save(&failed, prefix + QStringLiteral("page8-failed"));
    if (!portShown) std::fprintf(stderr, "%s: the port window did not open\n", qPrintable(prefix));
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: lumbra-screens-render <payload-files> <output folder>\n");
        return 2;
    }
    const QString payloadFiles = QString::fromLocal8Bit(argv[1]);
    gOut = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(gOut);
    const QString base = QDir(gOut).filePath(QStringLiteral("work"));
    QDir(base).removeRecursively();
    QDir().mkpath(base);
    const Variant variants[] = {
        {UiLanguage::English, "builtin", false, false}, {UiLanguage::English, "shipped", true, false},
        {UiLanguage::Chinese, "builtin", false, false}, {UiLanguage::Chinese, "shipped", true, false},
        {UiLanguage::Russian, "builtin", false, false}, {UiLanguage::Russian, "textini", true, true},
    };
    for (const Variant& v : variants) RenderWizard(base, payloadFiles, v);
    QDir(base).removeRecursively();
    std::printf("%d pictures\n", gCount);
    return gCount > 0 ? 0 : 1;
}
