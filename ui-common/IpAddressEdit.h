#pragma once
// An IPv4 address field: four octet boxes separated by dots. A blank box reads
// as 0, so a blank field reads as 0.0.0.0. Typing a dot or a third digit moves
// to the next box, Backspace in an empty box moves back; values above 255 are
// refused as they are typed.
#include <QFrame>
#include <QString>
#include <array>
#include <cstdint>

class QLineEdit;

namespace ui {

class CIpAddressEdit : public QFrame {
    Q_OBJECT
public:
    using Octets = std::array<std::uint8_t, 4>;  // most significant first

    explicit CIpAddressEdit(QWidget* parent = nullptr);

    Octets Address() const;
    void SetAddress(const Octets& octets);
    // Accepts "a.b.c.d" with every part 0..255; false (and nothing changed) otherwise.
    bool SetText(const QString& dotted);
    QString Text() const;  // "a.b.c.d", blanks as 0
    void Clear();
    bool IsBlank() const;  // all four boxes empty

    QLineEdit* OctetBox(int index) const { return boxes_[static_cast<std::size_t>(index)]; }

signals:
    void AddressChanged();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int IndexOf(QObject* box) const;
    void FocusBox(int index, bool selectAll);

    std::array<QLineEdit*, 4> boxes_{};
};

}  // namespace ui
