// "更改密钥": rewrites the sector trailer (keys A and B and the access bits) of a
// card in Level 1 or 2 through the opening level page's CRYPTO1 operations.
// Before writing it checks, against the trailer just read, that the chosen key
// may change every part that changes; it asks before rows that freeze the
// trailer; after writing it reads back and reports what the card did not store.
#pragma once

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "core/access_bits.h"

class CardLevelPage;
class QKeyEvent;
namespace Ui {
class Crypto1KeysDialog;
}

class Crypto1KeysDialog : public QDialog {
  Q_OBJECT

 public:
  // page: the Level 1 or Level 2 page; its owner is the main window.
  Crypto1KeysDialog(CardLevelPage& page, int initialSector, int cardType,
                    QWidget* parent = nullptr);
  ~Crypto1KeysDialog() override;

  Ui::Crypto1KeysDialog& ui() { return *ui_; }

  // Button 1380 and button 1375.
  void ReadCurrent();
  void Change();

 protected:
  // Enter neither closes the dialog nor presses a button.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int SelectedSector() const;
  bool KeyB() const;
  // Activates, authenticates with `key` as key `keyB`, reads the trailer. On a
  // failure the reason is in the information window and the result field.
  bool AuthenticateAndRead(const std::uint8_t key[6], bool keyB, std::uint8_t trailer[16]);
  void SectorChanged();
  void Compose();
  void ShowResult(const QString& text);
  // The parts of a trailer that the key may change, as their names; empty when
  // every part that changes may be written.
  QStringList Refused(const std::uint8_t current[16], const std::uint8_t wanted[16],
                      const std::uint8_t authKey[6], bool keyB) const;
  QStringList NotStored(const std::uint8_t wanted[16], const std::uint8_t authKey[6], bool keyB,
                        QString* unverified);

  CardLevelPage& page_;
  std::unique_ptr<Ui::Crypto1KeysDialog> ui_;
};

// Opens the dialog modally over the page owner's window for the sector
// selected there (40 sectors: both CRYPTO1 pages offer the largest card).
void RunCrypto1KeysDialog(CardLevelPage& page);
