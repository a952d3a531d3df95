// The main window: the reader session, card activation, the four level pages
// on their tabs, the sector/block/key/data boxes that the operator commands
// read, the menu with its command routing, and the information window.
#pragma once

#include <QMainWindow>
#include <QString>
#include <array>
#include <map>

#include "gui/command_host.h"

class QAction;
class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QTabBar;
class QWidget;
class InfoWindow;
class TipButton;
class TipCheckBox;
class TipHexBytesCombo;
class TipHexEdit;
class TipRenderer;

class MainWindow : public QMainWindow, public CommandHost {
  Q_OBJECT

 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // The window's initialisation: tips setting, controls, reader connection and
  // the stored tab, in that order. Called once by the application.
  void Initialise();

  // ---- PageOwner
  int Activate(int force, int* errorOut, QString* cardInfoOut, int* cardVariant) override;
  void AppendLog(const QString& text, bool highlight) override;
  bool IsConnected() const override { return connected_; }
  CardLevelPage* CurrentPage() const override;
  int SelectedSector() const override;
  int SelectedKeyType() const override;
  int SelectedReaderType() const override;
  int SelectedCardType() const override;
  int Recover(int* errorOut) override;
  int AesAuthenticate(int* errorOut) override;
  TipRenderer* TipWindow() const override { return tipsEnabled_ ? tipRenderer_ : nullptr; }
  QWidget* DialogParent() override { return this; }

  // ---- CommandHost
  using CommandHost::BlockAddress;
  int BlockAddress(BlockBox box) const override;
  int SelectedBlockInSector() const override;
  int SelectedBlockCount() const override;
  void BlockCountCheck() override;
  int SelectedAesKeyAddress() const override;
  int Operand() const override;
  bool KeyBytes(std::uint8_t* out, int count) const override;
  bool AesKeyBytes(std::uint8_t* out, int count) const override;
  bool DataRowBytes(int row, std::uint8_t* out, int count) const override;
  void ShowDataRow(int row, const std::uint8_t* bytes, int count) override;

  // Runs a menu or button command: first the routing of card-setting commands
  // to their level page, whatever tab is selected, then the window's own handling.
  void RunCommand(int commandId);
  // The level page that card-setting command `commandId` goes to, or nullptr.
  CardLevelPage* RoutedPage(int commandId) const;

  void Connect();
  void Disconnect();
  // Selects a level tab (0..3) and runs the tab-changed step.
  void SelectLevel(int index);
  int currentLevelIndex() const { return currentPage_; }
  // Applies check box 1077: stores the setting and attaches or detaches tips.
  void ApplyTips();
  bool tipsEnabled() const { return tipsEnabled_; }

  CardLevelPage* page(int level) const { return pages_[level]; }
  InfoWindow* infoWindow() const { return info_; }
  TipRenderer* tipRenderer() const { return tipRenderer_; }
  QAction* action(int commandId) const;
  QString cardInfo() const { return cardInfo_; }
  // The about box, while it is open.
  QDialog* aboutBox() const { return about_; }

  // Boxes the operator commands read.
  QComboBox* sectorBox() const { return sector_; }
  QComboBox* blockBox() const { return block_; }
  QComboBox* sourceBlockBox() const { return source_; }
  QComboBox* destinationBlockBox() const { return destination_; }
  QComboBox* keyTypeBox() const { return keyType_; }
  TipHexBytesCombo* keyBox() const { return key_; }
  QComboBox* aesAddressBox() const { return aesAddress_; }
  TipHexBytesCombo* aesKeyBox() const { return aesKey_; }
  QComboBox* blockCountBox() const { return blockCount_; }
  TipHexBytesCombo* dataRow(int index) const { return dataRows_[index]; }
  TipHexEdit* operandEdit() const { return operand_; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildMenu();
  void BuildControls();
  QWidget* BuildReaderGroup();
  QWidget* BuildAuthenticationGroup();
  QWidget* BuildBlockGroup();
  QWidget* BuildValueGroup();
  TipButton* MakeButton(int id, const char* objectName, int command);
  void LoadControlTips();
  void ShowCardInfo();

  void SectorChanged();
  void BlockChanged();
  void SourceBlockChanged();
  void UpdateAddresses();
  void KeyTypeChanged();
  void TabChanged(int index);
  void LevelStep(int level);
  void SetCardMenuItems(int level);
  void ActivateCardCommand();
  void ChooseLanguage(int commandId);
  void ShowAbout();

  bool connected_ = false;
  std::array<CardLevelPage*, 4> pages_{};
  int currentPage_ = -1;
  bool tipsEnabled_ = false;
  QString cardInfo_;
  TipRenderer* tipRenderer_ = nullptr;
  std::map<int, QAction*> actions_;
  QMenu* readerMenu_ = nullptr;
  QDialog* about_ = nullptr;
  bool updating_ = false;  // set while boxes are refilled, to keep handlers quiet

  QComboBox* readerType_ = nullptr;
  QComboBox* cardType_ = nullptr;
  QLineEdit* cardInfoEdit_ = nullptr;
  TipButton* connect_ = nullptr;
  TipButton* disconnect_ = nullptr;
  TipButton* activate_ = nullptr;
  QTabBar* tabs_ = nullptr;
  QGroupBox* level0Frame_ = nullptr;  // 1285
  QWidget* operations_ = nullptr;     // 1290
  QGroupBox* pageFrame_ = nullptr;    // 1325
  QGroupBox* authGroup_ = nullptr;    // 1048
  QGroupBox* blockGroup_ = nullptr;   // 1330
  QGroupBox* valueGroup_ = nullptr;   // 1047
  QLabel* crypto1Label_ = nullptr;    // 1052
  QLabel* aesLabel_ = nullptr;        // 1056
  QWidget* aesRow_ = nullptr;         // the Level 2 AES controls
  QComboBox* sector_ = nullptr;
  QComboBox* block_ = nullptr;
  QLineEdit* absoluteAddress_ = nullptr;
  QComboBox* keyType_ = nullptr;
  TipHexBytesCombo* key_ = nullptr;
  TipButton* authenticate_ = nullptr;
  QComboBox* aesAddress_ = nullptr;
  TipHexBytesCombo* aesKey_ = nullptr;
  TipButton* aesAuthenticate_ = nullptr;
  QComboBox* blockCount_ = nullptr;
  std::array<QLabel*, 3> addressLabels_{};
  std::array<TipHexBytesCombo*, 3> dataRows_{};
  TipButton* readBlocks_ = nullptr;
  TipButton* writeBlocks_ = nullptr;
  QComboBox* source_ = nullptr;
  QComboBox* destination_ = nullptr;
  TipHexEdit* operand_ = nullptr;
  std::array<TipButton*, 5> valueButtons_{};
  InfoWindow* info_ = nullptr;
  TipCheckBox* tipsBox_ = nullptr;
};
