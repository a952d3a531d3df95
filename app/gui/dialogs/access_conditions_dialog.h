// "更改访问条件": rewrites the access part (plain-read byte, access bits) of a
// Level 3 sector trailer through the Level 3 page, keeping the trailer's other
// bytes as read. The sector keys are AES keys outside the trailer.
#pragma once

#include <QDialog>
#include <array>
#include <cstdint>
#include <memory>

class CardLevelPage;
class QKeyEvent;
namespace Ui {
class AccessConditionsDialog;
}

class AccessConditionsDialog : public QDialog {
  Q_OBJECT

 public:
  AccessConditionsDialog(CardLevelPage& page, int initialSector, int cardType,
                         QWidget* parent = nullptr);
  ~AccessConditionsDialog() override;

  Ui::AccessConditionsDialog& ui() { return *ui_; }
  // The card variant of the last activation: 1 an S card, 128 another, 0 none yet.
  int cardVariant() const { return cardVariant_; }

  // Button 1380 and button 1375.
  void ReadCurrent();
  void Change();

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int SelectedSector() const;
  bool KeyB() const;
  // Puts the plain-read byte of the boxes into 1195. On an S card, which has
  // no plain-read control, clear boxes are set again with message 2393; then
  // it returns true (the boxes had to change).
  bool UpdatePlainRead();
  void SectorChanged();
  void Compose();
  void ShowStatus(const QString& text, bool log);
  bool AuthenticateAndRead(std::uint8_t trailer[16]);

  CardLevelPage& page_;
  std::unique_ptr<Ui::AccessConditionsDialog> ui_;
  int cardVariant_ = 0;
};

// Opens the dialog modally over the page owner's window for the sector and
// card type selected there.
void RunAccessConditionsDialog(CardLevelPage& page);
