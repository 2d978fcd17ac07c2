#include "installer/wizard/SelectPortDlg.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

namespace wizard {
namespace {
QString S(const char16_t* text) { return QString::fromUtf16(text); }
}  // namespace

CSelectPortDlg::CSelectPortDlg(UiLanguage language, const std::vector<PortRow>& ports, QWidget* parent)
    : QDialog(parent), list_(new QTableWidget(this)), ok_(new QPushButton(this)), cancel_(new QPushButton(this)) {
    // 292 x 194 dialog units of an 8-point template.
    resize(438, 315);
    const bool chinese = language == UiLanguage::Chinese;
    if (chinese) setFont(MakeFont(S(u"宋体"), 15, 400, kCharsetGb2312));
    setWindowTitle(chinese ? S(u"选择打印机端口") : QStringLiteral("Select Printer Port"));
    ok_->setText(chinese ? S(u"确定") : QStringLiteral("OK"));
    cancel_->setText(chinese ? S(u"取消") : QStringLiteral("Cancel"));
    ok_->setDefault(true);

    list_->setColumnCount(3);
    list_->setHorizontalHeaderLabels(chinese ? QStringList{S(u"端口"), S(u"描述"), S(u"监视器")}
                                             : QStringList{QStringLiteral("Port"), QStringLiteral("Description"),
                                                           QStringLiteral("Monitor")});
    list_->setShowGrid(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->horizontalHeader()->setSectionsMovable(true);
    list_->horizontalHeader()->setStretchLastSection(false);
    list_->horizontalHeader()->setHighlightSections(false);
    list_->verticalHeader()->hide();
    list_->setWordWrap(false);
    list_->setRowCount(static_cast<int>(ports.size()));
    for (int row = 0; row < static_cast<int>(ports.size()); ++row) {
        const PortRow& port = ports[static_cast<std::size_t>(row)];
        list_->setItem(row, 0, new QTableWidgetItem(port.name));
        list_->setItem(row, 1, new QTableWidgetItem(port.description));
        list_->setItem(row, 2, new QTableWidgetItem(port.monitor));
        list_->setRowHeight(row, 20);
    }
    connect(ok_, &QPushButton::clicked, this, [this] { OnOk(); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    FitColumns();
}

void CSelectPortDlg::FitColumns() {
    const int w = width();
    const int h = height();
    list_->setGeometry(10, 10, w - 20, h - 55);
    ok_->setGeometry(w - 180, h - 35, 80, 25);
    cancel_->setGeometry(w - 90, h - 35, 80, 25);
    const int client = list_->viewport()->width();
    list_->setColumnWidth(0, client / 3);
    list_->setColumnWidth(1, client / 3);
    list_->setColumnWidth(2, client / 3 - 1);
}

void CSelectPortDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitColumns();
}

void CSelectPortDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitColumns();
}

void CSelectPortDlg::OnOk() {
    int first = -1;
    for (const QModelIndex& index : list_->selectionModel()->selectedRows()) {
        if (first < 0 || index.row() < first) first = index.row();
    }
    if (first < 0) return;
    chosenPort_ = list_->item(first, 0)->text();
    accept();
}

}  // namespace wizard
