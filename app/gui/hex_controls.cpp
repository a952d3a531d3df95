#include "gui/hex_controls.h"

#include <QEvent>
#include <QMouseEvent>
#include <algorithm>

namespace {

// An editable combo whose list entries are only suggestions.
void MakeHexEntry(QComboBox* combo) {
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  // Inline completion would select text behind the caret that normalization
  // then deselects, so typed digits would land after the completed entry.
  combo->setCompleter(nullptr);
}

// Selection as the edit reports it: both ends at the caret when nothing is
// selected.
void Selection(const QLineEdit* edit, int* start, int* end) {
  if (edit->hasSelectedText()) {
    *start = edit->selectionStart();
    *end = edit->selectionEnd();
  } else {
    *start = *end = edit->cursorPosition();
  }
}

// Sets the normalized text without re-entering the normalization, then selects
// start..end as `map` moves them into the new text (clamped to its length).
template <typename MapCaret>
void SetNormalized(QLineEdit* edit, bool* busy, const QString& after, int start, int end,
                   MapCaret map) {
  *busy = true;
  if (edit->text() != after) edit->setText(after);
  const int size = static_cast<int>(after.size());
  const int from = std::min(map(start), size);
  const int to = std::min(map(end), size);
  if (from == to)
    edit->setCursorPosition(to);
  else
    edit->setSelection(from, to - from);
  *busy = false;
}

int Unmoved(int caret) {
  return caret;
}

}  // namespace

// ---- HoverTip ----

HoverTip::HoverTip(QWidget* host, const QString& defaultText) : host_(host), text_(defaultText) {
  timer_.setSingleShot(true);
  timer_.setInterval(kPeriodMs);
  connect(&timer_, &QTimer::timeout, this, &HoverTip::OnTimer);
  Watch(host_);
}

HoverTip::~HoverTip() {
  if (shown_ && window_) window_->HideTip();
}

void HoverTip::Watch(QWidget* widget) {
  widget->setMouseTracking(true);
  widget->installEventFilter(this);
  for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) Watch(child);
}

void HoverTip::SetWindow(TipRenderer* window) {
  if (window == window_.data()) return;
  if (shown_ && window_) window_->HideTip();
  shown_ = false;
  timer_.stop();
  window_ = window;
}

void HoverTip::OnMouseMove(const QPoint& screenPoint) {
  lastPoint_ = screenPoint;
  if (!enabled_ || shown_ || !window_) return;
  window_->ShowTip(text_, lastPoint_);
  shown_ = true;
  timer_.start();
}

void HoverTip::OnTimer() {
  timer_.stop();
  if (shown_ && window_) {
    window_->HideTip();
    shown_ = false;
  }
}

void HoverTip::OnLeave() {
  if (shown_ && window_) {
    window_->HideTip();
    shown_ = false;
    timer_.stop();
  }
}

bool HoverTip::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::MouseMove:
      OnMouseMove(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
      break;
    case QEvent::Leave:
      // Moving onto a child (the combo's edit field) is no leave of the control.
      if (watched == host_) OnLeave();
      break;
    case QEvent::ChildPolished:
      // Children created after us (an editable combo's line edit) are complete
      // by the time they are polished.
      if (watched == host_) {
        if (auto* child = qobject_cast<QWidget*>(static_cast<QChildEvent*>(event)->child()))
          Watch(child);
      }
      break;
    default:
      break;
  }
  return false;
}

// ---- HexAddressCombo ----

HexAddressCombo::HexAddressCombo(QWidget* parent) : QComboBox(parent) {
  MakeHexEntry(this);
  connect(this, &QComboBox::editTextChanged, this, &HexAddressCombo::Normalize);
  connect(this, &QComboBox::currentIndexChanged, this, &HexAddressCombo::Normalize);
}

int HexAddressCombo::GetValue() const {
  return hextext::AddressValue(currentText());
}

void HexAddressCombo::Normalize() {
  QLineEdit* edit = lineEdit();
  if (busy_ || edit == nullptr) return;
  const QString before = edit->text();
  const QString after = hextext::NormalizeAddress(before);
  if (after == before) return;
  int start = 0;
  int end = 0;
  Selection(edit, &start, &end);
  SetNormalized(edit, &busy_, after, start, end,
                [&before](int caret) { return hextext::AddressCaret(before, caret); });
}

// ---- HexBytesCombo ----

HexBytesCombo::HexBytesCombo(QWidget* parent) : HexBytesCombo(parent, QStringLiteral("Hex")) {}

HexBytesCombo::HexBytesCombo(QWidget* parent, const QString& tipText)
    : QComboBox(parent), tip_(this, tipText) {
  MakeHexEntry(this);
  connect(this, &QComboBox::editTextChanged, this, &HexBytesCombo::OnEditChanged);
  connect(this, &QComboBox::currentIndexChanged, this, &HexBytesCombo::OnSelectionChanged);
}

int HexBytesCombo::GetBytes(std::uint8_t* out, int maxBytes) const {
  return hextext::ParseBytes(currentText(), out, maxBytes);
}

bool HexBytesCombo::GetExactBytes(std::uint8_t* out, int count) const {
  return hextext::ExactBytes(currentText(), out, count);
}

void HexBytesCombo::SetBytes(const std::uint8_t* bytes, int count) {
  setEditText(hextext::FormatBytes(bytes, count));
}

int HexBytesCombo::SetByteCount(int n) {
  const int previous = ByteCount();
  if (n > 0) {
    maxChars_ = 3 * n - 1;
    OnSelectionChanged();  // a shorter limit applies to the text at once
  }
  return previous;
}

void HexBytesCombo::OnEditChanged() {
  QLineEdit* edit = lineEdit();
  if (busy_ || edit == nullptr) return;
  const QString before = edit->text();
  int start = 0;
  int end = 0;
  Selection(edit, &start, &end);
  const int caret = hextext::BytesCaret(before, start, end);
  SetNormalized(edit, &busy_, hextext::NormalizeBytes(before, maxChars_), caret, caret, Unmoved);
}

void HexBytesCombo::OnSelectionChanged() {
  QLineEdit* edit = lineEdit();
  if (busy_ || edit == nullptr) return;
  const QString before = edit->text();
  const QString after = hextext::NormalizeBytes(before, maxChars_);
  if (after == before) return;
  int start = 0;
  int end = 0;
  Selection(edit, &start, &end);
  SetNormalized(edit, &busy_, after, start, end, Unmoved);
}

// ---- HexEdit ----

HexEdit::HexEdit(QWidget* parent) : QLineEdit(parent) {
  connect(this, &QLineEdit::textChanged, this, &HexEdit::OnTextChanged);
}

void HexEdit::SetMode(int mode) {
  mode_ = mode;
  OnTextChanged();
}

int HexEdit::GetBytes(std::uint8_t* out, int maxBytes) const {
  return hextext::ParseBytes(text(), out, maxBytes);
}

void HexEdit::SetBytes(const std::uint8_t* bytes, int count) {
  setText(hextext::FormatBytes(bytes, count, false));
}

int HexEdit::GetValue() const {
  return hextext::DigitsValue(text());
}

int HexEdit::SetByteCount(int n) {
  const int previous = ByteCount();
  if (n > 0) {
    maxChars_ = 3 * n - 1;
    OnTextChanged();
  }
  return previous;
}

void HexEdit::OnTextChanged() {
  if (busy_ || (mode_ != 0 && mode_ != 1)) return;
  const QString before = text();
  int start = 0;
  int end = 0;
  Selection(this, &start, &end);
  const QString after =
      mode_ == 0 ? hextext::NormalizeDigits(before) : hextext::NormalizeBytes(before, maxChars_);
  // Mode 0 moves the caret only when the text changed; mode 1 always places it.
  if (mode_ == 0 && after == before) return;
  const int caret = mode_ == 0 ? end : hextext::BytesCaret(before, start, end);
  SetNormalized(this, &busy_, after, caret, caret, Unmoved);
}

// ---- tip-only controls and tip variants ----

TipButton::TipButton(QWidget* parent) : QPushButton(parent), tip_(this, QStringLiteral("Hello!")) {}

TipButton::TipButton(const QString& caption, QWidget* parent)
    : QPushButton(caption, parent), tip_(this, QStringLiteral("Hello!")) {}

TipCheckBox::TipCheckBox(QWidget* parent)
    : QCheckBox(parent), tip_(this, QStringLiteral("Hello!")) {}

TipCheckBox::TipCheckBox(const QString& caption, QWidget* parent)
    : QCheckBox(caption, parent), tip_(this, QStringLiteral("Hello!")) {}

TipCombo::TipCombo(QWidget* parent) : QComboBox(parent), tip_(this, QStringLiteral("Hello!")) {}

TipAddressCombo::TipAddressCombo(QWidget* parent)
    : HexAddressCombo(parent), tip_(this, QStringLiteral("Hello!")) {}

TipHexBytesCombo::TipHexBytesCombo(QWidget* parent)
    : HexBytesCombo(parent, QStringLiteral("Hello!")) {}

TipHexEdit::TipHexEdit(QWidget* parent) : HexEdit(parent), tip_(this, QStringLiteral("Hello!")) {}
