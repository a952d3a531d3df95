#include "dialogs/hex_controls.h"

#include <QEvent>
#include <QMouseEvent>
#include <algorithm>
#include <vector>

namespace {

bool IsHexDigit(QChar c) {
  const char16_t u = c.unicode();
  return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

unsigned HexDigitValue(QChar c) {
  const char16_t u = c.unicode();
  if (u <= u'9') return static_cast<unsigned>(u - u'0');
  if (u >= u'a') return static_cast<unsigned>(u - u'a' + 10);
  return static_cast<unsigned>(u - u'A' + 10);
}

bool HasAddressPrefix(const QString& text) {
  return text.size() >= 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X');
}

// Reads a number the way "%x" does: optional sign, optional 0x before a digit,
// then hex digits; the value wraps at 32 bits. False when no digit is found.
bool ScanHex(QStringView text, std::uint32_t* value) {
  qsizetype i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  if (i + 2 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X') &&
      IsHexDigit(text[i + 2]))
    i += 2;
  std::uint32_t v = 0;
  const qsizetype first = i;
  for (; i < text.size() && IsHexDigit(text[i]); ++i) v = (v << 4) | HexDigitValue(text[i]);
  if (i == first) return false;
  *value = negative ? 0u - v : v;
  return true;
}

// An editable combo whose list entries are only suggestions.
void MakeHexEntry(QComboBox* combo) {
  combo->setEditable(true);
  combo->setInsertPolicy(QComboBox::NoInsert);
  // Inline completion would select text behind the caret that normalization
  // then deselects, so typed digits would land after the completed entry.
  combo->setCompleter(nullptr);
}

int ToInt(std::uint32_t value) {
  return static_cast<int>(value);
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

namespace hextext {

QString NormalizeAddress(const QString& text) {
  QString result = QStringLiteral("0x");
  for (qsizetype i = HasAddressPrefix(text) ? 2 : 0; i < text.size(); ++i) {
    if (IsHexDigit(text[i])) result.append(text[i]);
  }
  return result.left(6);
}

int AddressCaret(const QString& before, int caret) {
  const bool prefixed = HasAddressPrefix(before);
  if (prefixed && caret <= 2) return caret;
  int kept = 0;
  const int end = std::min(caret, static_cast<int>(before.size()));
  for (int i = prefixed ? 2 : 0; i < end; ++i) {
    if (IsHexDigit(before[i])) ++kept;
  }
  return std::min(2 + kept, 6);
}

QString NormalizeBytes(const QString& text, int maxChars) {
  QString result;
  for (QChar c : text) {
    if (!IsHexDigit(c)) continue;
    result.append(c);
    if ((result.size() - 2) % 3 == 0) result.append(u' ');
  }
  while (!result.isEmpty() && result.back().isSpace()) result.chop(1);
  result = result.toUpper();
  return maxChars >= 0 ? result.left(maxChars) : result;
}

QString NormalizeDigits(const QString& text) {
  QString result;
  for (QChar c : text) {
    if (IsHexDigit(c)) result.append(c);
  }
  return result.left(8);
}

int BytesCaret(const QString& before, int selStart, int selEnd) {
  int caret = std::max(selStart, selEnd);
  // A separator inserted by normalization before the caret moves it one on.
  if (selStart > 1 && selStart - 2 < before.size() && before[selStart - 2] != u' ') ++caret;
  return caret;
}

int ParseBytes(const QString& text, std::uint8_t* out, int maxBytes) {
  if (out == nullptr || maxBytes <= 0) return 0;
  const QString limited = text.left(259);
  int count = 0;
  qsizetype i = 0;
  while (count < maxBytes) {
    while (i < limited.size() &&
           (limited[i] == u' ' || limited[i] == u',' || limited[i] == u'\t' || limited[i] == u'\n'))
      ++i;
    if (i >= limited.size()) break;
    qsizetype tokenEnd = i;
    while (tokenEnd < limited.size() && limited[tokenEnd] != u' ' && limited[tokenEnd] != u',' &&
           limited[tokenEnd] != u'\t' && limited[tokenEnd] != u'\n')
      ++tokenEnd;
    std::uint32_t value = 0;
    if (!ScanHex(QStringView(limited).mid(i, tokenEnd - i), &value)) break;
    out[count++] = static_cast<std::uint8_t>(value & 0xFFu);
    i = tokenEnd;
  }
  return count;
}

bool ExactBytes(const QString& text, std::uint8_t* out, int count) {
  if (out == nullptr || count <= 0) return false;
  std::fill(out, out + count, std::uint8_t{0});
  auto separator = [](QChar c) { return c == u' ' || c == u',' || c == u'\t' || c == u'\n'; };
  std::vector<std::uint8_t> bytes;
  qsizetype i = 0;
  while (i < text.size()) {
    if (separator(text[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || !IsHexDigit(text[i]) || !IsHexDigit(text[i + 1])) return false;
    if (i + 2 < text.size() && !separator(text[i + 2])) return false;
    bytes.push_back(
        static_cast<std::uint8_t>(HexDigitValue(text[i]) << 4 | HexDigitValue(text[i + 1])));
    if (static_cast<int>(bytes.size()) > count) return false;
    i += 2;
  }
  if (static_cast<int>(bytes.size()) != count) return false;
  std::copy(bytes.begin(), bytes.end(), out);
  return true;
}

QString FormatBytes(const std::uint8_t* data, int count, bool upperCase) {
  QString text;
  if (data == nullptr) return text;
  count = std::clamp(count, 0, 86);
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  for (int i = 0; i < count; ++i) {
    if (i > 0) text.append(u' ');
    text.append(QLatin1Char(digits[data[i] >> 4]));
    text.append(QLatin1Char(digits[data[i] & 0x0F]));
  }
  return text;
}

int AddressValue(const QString& text) {
  if (text.isEmpty()) return 0;
  if (!HasAddressPrefix(text)) return -1;
  std::uint32_t value = 0;
  return ScanHex(QStringView(text).mid(2), &value) ? ToInt(value) : 0;
}

int DigitsValue(const QString& text) {
  if (text.isEmpty() || !IsHexDigit(text[0])) return 0;
  std::uint32_t value = 0;
  return ScanHex(text, &value) ? ToInt(value) : 0;
}

}  // namespace hextext

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
