#include "settings-tool/gui/OtherSetDlg.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "protocol/ValueLists.h"
#include "settings-tool/gui/Texts.h"

namespace cadmon::gui {
namespace {

QComboBox* MakeList(QWidget* parent, const protocol::ValueList* entries) {
    auto* list = new QComboBox(parent);
    list->setEditable(true);
    list->setInsertPolicy(QComboBox::NoInsert);
    list->setMinimumContentsLength(26);
    list->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    if (entries != nullptr) {
        for (std::string_view entry : *entries)
            list->addItem(QString::fromUtf8(entry.data(), static_cast<qsizetype>(entry.size())));
        list->setCurrentIndex(entries->preselected);
    } else {
        list->setCurrentIndex(-1);
    }
    return list;
}

}  // namespace

COtherSetDlg::COtherSetDlg(int languageFlag, SubmitFunction submit, QWidget* parent)
    : QDialog(parent), submit_(std::move(submit)) {
    setWindowTitle(QString());
    auto* layout = new QVBoxLayout(this);
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setColumnStretch(1, 1);
    layout->addLayout(grid);

    int rowIndex = 0;
    auto addRow = [&](Row& row, const TextPair& label, const protocol::ValueList* entries,
                      bool withButton, const char* name) {
        row.label = new QLabel(label.For(languageFlag), this);
        row.list = MakeList(this, entries);
        row.list->setObjectName(QString::fromLatin1(name));
        grid->addWidget(row.label, rowIndex, 0);
        grid->addWidget(row.list, rowIndex, 1);
        if (withButton) {
            row.button = new QPushButton(text::kConfirm.For(languageFlag), this);
            row.button->setObjectName(QString::fromLatin1(name) + QStringLiteral("Button"));
            row.button->setAutoDefault(false);
            grid->addWidget(row.button, rowIndex, 2);
        }
        ++rowIndex;
    };
    // The list entries of the reprint, speed and encoding rows belong to the
    // window; they start with nothing chosen.
    addRow(c_.printMode, text::kPrintMode, nullptr, true, "printMode");
    addRow(c_.codePage, text::kCodePage, &protocol::kCodePageList, true, "codePage");
    addRow(c_.barPrint, text::kBarPrint, nullptr, true, "barPrint");
    addRow(c_.density, text::kDensity, &protocol::kDensityList, true, "density");
    addRow(c_.reprint, text::kReprint, &protocol::kReprintList, true, "reprint");
    addRow(c_.language, text::kLangSetting, &protocol::kCharacterSetList, true, "language");
    addRow(c_.encoding, text::kCodeSetting, &protocol::kEncodingList, false, "encoding");
    addRow(c_.speed, text::kPrintSpeed, &protocol::kPrintSpeedList, true, "speed");
    c_.encoding.list->model()->sort(0);  // a sorted list
    c_.encoding.list->setCurrentIndex(-1);

    // Two identity buttons exist in the window but are never shown or enabled.
    auto* usbRow = new QHBoxLayout;
    c_.usbIdentityX = new QPushButton(Utf8(text::kUsbIdentityX), this);
    c_.usbIdentityG = new QPushButton(Utf8(text::kUsbIdentityG), this);
    for (QPushButton* b : {c_.usbIdentityX, c_.usbIdentityG}) {
        b->setAutoDefault(false);
        b->setEnabled(false);
        b->setVisible(false);
        usbRow->addWidget(b);
    }
    layout->addLayout(usbRow);

    auto bind = [this](QPushButton* button, std::function<protocol::Bytes()> build) {
        connect(button, &QPushButton::clicked, this, [this, build] { submit_(build()); });
    };
    bind(c_.codePage.button, [this] { return protocol::CodePage(ChosenPosition(c_.codePage.list)); });
    bind(c_.density.button, [this] { return protocol::Density(ChosenPosition(c_.density.list)); });
    bind(c_.reprint.button, [this] { return protocol::Reprint(ChosenPosition(c_.reprint.list)); });
    bind(c_.language.button, [this] { return protocol::CharacterSet(ChosenPosition(c_.language.list)); });
    bind(c_.speed.button, [this] { return protocol::PrintSpeed(ChosenPosition(c_.speed.list)); });
    bind(c_.usbIdentityX, [] { return protocol::UsbIdentityX(); });
    bind(c_.usbIdentityG, [] { return protocol::UsbIdentityG(); });
    // The print-mode and bar-print buttons do nothing.
}

int COtherSetDlg::ChosenPosition(const QComboBox* list) {
    const int index = list->currentIndex();
    if (index < 0) return -1;
    if (list->isEditable() && list->currentText() != list->itemText(index)) {
        const int typed = list->findText(list->currentText(), Qt::MatchExactly);
        return typed;
    }
    return index;
}

void COtherSetDlg::keyPressEvent(QKeyEvent* event) {
    // Enter closes the window as Escape does; nothing is sent.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace cadmon::gui
