// Hexadecimal entry controls. They keep their text in one canonical shape while
// the operator types, convert it to bytes and numbers and back, and (the Tip...
// variants, and HexBytesCombo) show a hover tip through the TipRenderer.
//
//   HexAddressCombo   editable combo: "0x" and at most 4 hex digits
//   HexBytesCombo     editable combo: "AB CD EF", at most ByteCount bytes (16)
//   HexEdit           line edit: mode 0 at most 8 hex digits, mode 1 byte groups,
//                     other modes leave the text as typed
//   TipButton, TipCombo, TipCheckBox   no normalization, only the hover tip
//   TipAddressCombo, TipHexBytesCombo, TipHexEdit   the above with the tip text
//                     defaulting to "Hello!" instead of "Hex"
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <cstdint>

#include "core/hex_text.h"
#include "tips/tip_renderer.h"

// Hover tip of one control. Shown once per entry of the pointer, hidden after
// 3 s (timer 987654 in the original numbering) or when the pointer leaves.
// Without a tip window attached, or when disabled, it shows nothing and starts
// no timer.
class HoverTip : public QObject {
  Q_OBJECT

 public:
  static constexpr int kTimerId = 987654;
  static constexpr int kPeriodMs = 3000;

  // Watches `host` and its child widgets (a combo's line edit) for pointer
  // movement and leave; turns on mouse tracking for them.
  HoverTip(QWidget* host, const QString& defaultText);
  ~HoverTip() override;

  void SetText(const QString& text) { text_ = text; }
  const QString& text() const { return text_; }
  // Attaches the application's renderer; nullptr detaches (and hides a tip of
  // this control that is on screen).
  void SetWindow(TipRenderer* window);
  TipRenderer* window() const { return window_.data(); }
  void SetEnabled(bool enabled) { enabled_ = enabled; }
  bool enabled() const { return enabled_; }
  bool shown() const { return shown_; }
  bool TimerActive() const { return timer_.isActive(); }
  QPoint lastPoint() const { return lastPoint_; }

  // The event handlers, public so that tests can drive them without a pointer.
  void OnMouseMove(const QPoint& screenPoint);
  void OnLeave();
  void OnTimer();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Watch(QWidget* widget);

  QWidget* host_;
  QString text_;
  QPointer<TipRenderer> window_;
  bool enabled_ = true;
  bool shown_ = false;
  QPoint lastPoint_;
  QTimer timer_;
};

class HexAddressCombo : public QComboBox {
  Q_OBJECT

 public:
  explicit HexAddressCombo(QWidget* parent = nullptr);
  // The address typed; -1 when the text does not begin with "0x"; 0 when empty.
  int GetValue() const;

 private:
  void Normalize();
  bool busy_ = false;
};

class HexBytesCombo : public QComboBox {
  Q_OBJECT

 public:
  explicit HexBytesCombo(QWidget* parent = nullptr);

  // Stores up to `maxBytes` bytes of the text into `out`; returns the count.
  int GetBytes(std::uint8_t* out, int maxBytes) const;
  // hextext::ExactBytes of the text: exactly `count` whole bytes, or false.
  bool GetExactBytes(std::uint8_t* out, int count) const;
  // Shows `count` bytes (at most 86) as "00 0A FF".
  void SetBytes(const std::uint8_t* bytes, int count);
  // n > 0 limits the text to n bytes (3n - 1 characters); returns the previous
  // byte count.
  int SetByteCount(int n);
  int ByteCount() const { return (maxChars_ + 1) / 3; }
  int MaxChars() const { return maxChars_; }

  HoverTip& Tip() { return tip_; }

 protected:
  HexBytesCombo(QWidget* parent, const QString& tipText);

 private:
  void OnEditChanged();
  void OnSelectionChanged();
  int maxChars_ = 47;
  bool busy_ = false;
  HoverTip tip_;
};

class HexEdit : public QLineEdit {
  Q_OBJECT

 public:
  explicit HexEdit(QWidget* parent = nullptr);

  void SetMode(int mode);
  int Mode() const { return mode_; }
  int GetBytes(std::uint8_t* out, int maxBytes) const;
  // Writes lower-case digits; mode 1 raises them, mode 0 drops the blanks.
  void SetBytes(const std::uint8_t* bytes, int count);
  // 0 when empty or not starting with a hex digit, else the leading hex number.
  int GetValue() const;
  int SetByteCount(int n);
  int ByteCount() const { return (maxChars_ + 1) / 3; }
  int MaxChars() const { return maxChars_; }

 private:
  void OnTextChanged();
  int mode_ = 0;
  int maxChars_ = 47;
  bool busy_ = false;
};

class TipButton : public QPushButton {
  Q_OBJECT

 public:
  explicit TipButton(QWidget* parent = nullptr);
  TipButton(const QString& caption, QWidget* parent = nullptr);
  HoverTip& Tip() { return tip_; }

 private:
  HoverTip tip_;
};

class TipCheckBox : public QCheckBox {
  Q_OBJECT

 public:
  explicit TipCheckBox(QWidget* parent = nullptr);
  TipCheckBox(const QString& caption, QWidget* parent = nullptr);
  HoverTip& Tip() { return tip_; }

 private:
  HoverTip tip_;
};

class TipCombo : public QComboBox {
  Q_OBJECT

 public:
  explicit TipCombo(QWidget* parent = nullptr);
  HoverTip& Tip() { return tip_; }

 private:
  HoverTip tip_;
};

class TipAddressCombo : public HexAddressCombo {
  Q_OBJECT

 public:
  explicit TipAddressCombo(QWidget* parent = nullptr);
  HoverTip& Tip() { return tip_; }

 private:
  HoverTip tip_;
};

class TipHexBytesCombo : public HexBytesCombo {
  Q_OBJECT

 public:
  explicit TipHexBytesCombo(QWidget* parent = nullptr);
};

class TipHexEdit : public HexEdit {
  Q_OBJECT

 public:
  explicit TipHexEdit(QWidget* parent = nullptr);
  HoverTip& Tip() { return tip_; }

 private:
  HoverTip tip_;
};
