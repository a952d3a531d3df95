#include "gui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDate>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabBar>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "core/card_variant.h"
#include "core/command_table.h"
#include "core/messages.h"
#include "core/settings.h"
#include "gui/hex_controls.h"
#include "gui/info_window.h"
#include "gui/level_pages.h"
#include "gui/operator_commands.h"
#include "gui/prompts.h"
#include "ostrel.h"
#include "tips/tip_renderer.h"

namespace {

QString Hex2(int value) {
  return QString::asprintf("0x%02X", value);
}

// The program icon, drawn rather than shipped: a card with a contactless mark.
QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    painter.setPen(QPen(QColor(20, 60, 120), s / 24.0));
    painter.setBrush(QColor(60, 130, 210));
    painter.drawRoundedRect(QRectF(s * 0.06, s * 0.2, s * 0.88, s * 0.6), s * 0.08, s * 0.08);
    painter.setBrush(QColor(235, 200, 90));
    painter.drawRect(QRectF(s * 0.16, s * 0.38, s * 0.18, s * 0.22));
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(Qt::white, s / 16.0));
    for (int i = 1; i <= 3; ++i) {
      const qreal r = s * 0.1 * i;
      painter.drawArc(QRectF(s * 0.55 - r, s * 0.5 - r, 2 * r, 2 * r), -45 * 16, 90 * 16);
    }
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// Texts that are the same in every language fall back to themselves when a
// table lacks them; everything else comes from the table alone.
QString UiOr(const char* name, const char* fallback) {
  const QString text = UiText(QString::fromLatin1(name));
  return text.isEmpty() ? QString::fromLatin1(fallback) : text;
}

QLabel* Caption(int id, QWidget* parent) {
  auto* label = new QLabel(ControlText(id), parent);
  label->setObjectName(QStringLiteral("caption%1").arg(id));
  return label;
}

}  // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(UiOr("101.title", "Pelkin PLUS Card"));
  setWindowIcon(ProgramIcon());
}

MainWindow::~MainWindow() {
  // The pages are children of their frames and go with them; the about box too.
  delete about_;
}

// ------------------------------------------------------------ start-up ----

void MainWindow::Initialise() {
  tipsEnabled_ = ReadTipEnable() != 0;
  BuildMenu();
  BuildControls();
  Connect();
  // Saving is offered as soon as the window holds text: users save what they see.
  if (QAction* save = action(kSaveLog)) save->setEnabled(info_->HasText());
  const int page = ReadDefaultPage();
  if (page >= 0 && page <= 3) SelectLevel(page);
}

void MainWindow::BuildMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName(QStringLiteral("menuBar"));
  auto addMenu = [](auto* owner, const QString& text, const char* objectName) {
    QMenu* menu = owner->addMenu(text);
    menu->setObjectName(QString::fromLatin1(objectName));
    return menu;
  };
  auto top = [&](const char* name, const char* objectName) {
    return addMenu(bar, UiText(QString::fromLatin1(name)), objectName);
  };
  std::map<MenuPlace, QMenu*> menus;
  menus[MenuPlace::File] = top("103.file", "fileMenu");
  menus[MenuPlace::Reader] = readerMenu_ = top("103.reader", "readerMenu");
  menus[MenuPlace::Level] = top("103.level", "levelMenu");
  menus[MenuPlace::Value] = top("103.value", "valueMenu");
  menus[MenuPlace::Block] = top("103.block", "blockMenu");
  QMenu* settings = menus[MenuPlace::Card] = top("103.settings", "cardMenu");
  menus[MenuPlace::CardLevel1] =
      addMenu(settings, UiOr("103.settings.level1", "Level &1"), "cardLevel1Menu");
  menus[MenuPlace::CardLevel2] =
      addMenu(settings, UiOr("103.settings.level2", "Level &2"), "cardLevel2Menu");
  menus[MenuPlace::CardLevel3] =
      addMenu(settings, UiOr("103.settings.level3", "Level &3"), "cardLevel3Menu");
  QMenu* options = top("103.options", "optionsMenu");
  menus[MenuPlace::Language] =
      addMenu(options, UiText(QStringLiteral("103.language")), "languageMenu");
  menus[MenuPlace::Tools] = top("103.tools", "toolsMenu");

  auto addItem = [this](QMenu* menu, int id, const QString& text) {
    QAction* act = menu->addAction(text);
    act->setObjectName(QStringLiteral("action%1").arg(id));
    act->setData(id);
    connect(act, &QAction::triggered, this, [this, id] { RunCommand(id); });
    actions_[id] = act;
    return act;
  };
  for (const CommandInfo& info : CommandTable()) {
    if (info.menu == MenuPlace::None) continue;
    QAction* act = addItem(menus[info.menu], info.id, ControlText(info.id));
    if (IsCardItem(info)) act->setEnabled(false);
  }
  action(kDisconnect)->setEnabled(false);
  action(kSaveLog)->setEnabled(false);

  // The about entry lives where this platform's users look for it; it exists
  // only when its text does.
  const QString aboutText = LoadMessage(1101);
  if (!aboutText.isEmpty()) addItem(top("103.help", "helpMenu"), kAbout, aboutText);
}

TipButton* MainWindow::MakeButton(int id, const char* objectName, int command) {
  auto* button = new TipButton(ControlText(id), this);
  button->setObjectName(QString::fromLatin1(objectName));
  button->setProperty("controlId", id);
  connect(button, &QPushButton::clicked, this, [this, command] { RunCommand(command); });
  return button;
}

QWidget* MainWindow::BuildReaderGroup() {
  auto* row = new QWidget(this);
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);

  auto* reader = new QGroupBox(UiText(QStringLiteral("101.readerFrame")), row);
  reader->setObjectName(QStringLiteral("readerGroup"));
  auto* readerGrid = new QGridLayout(reader);
  readerType_ = new QComboBox(reader);
  readerType_->setObjectName(QStringLiteral("readerTypeBox"));
  readerType_->addItem(UiOr("101.readerType.1", "Pelkin"), 1);
  readerType_->setEnabled(false);
  cardType_ = new QComboBox(reader);
  cardType_->setObjectName(QStringLiteral("cardTypeBox"));
  cardType_->addItem(UiOr("101.cardType.5", "Quillon CPU"), 5);
  cardType_->setEnabled(false);
  connect_ = MakeButton(1005, "connectButton", kConnect);
  disconnect_ = MakeButton(1035, "disconnectButton", kDisconnect);
  disconnect_->setEnabled(false);
  readerGrid->addWidget(Caption(1020, reader), 0, 0);
  readerGrid->addWidget(readerType_, 0, 1);
  readerGrid->addWidget(connect_, 0, 2);
  readerGrid->addWidget(Caption(1050, reader), 1, 0);
  readerGrid->addWidget(cardType_, 1, 1);
  readerGrid->addWidget(disconnect_, 1, 2);

  auto* card = new QGroupBox(UiText(QStringLiteral("101.cardFrame")), row);
  card->setObjectName(QStringLiteral("cardGroup"));
  auto* cardGrid = new QGridLayout(card);
  cardInfoEdit_ = new QLineEdit(card);
  cardInfoEdit_->setObjectName(QStringLiteral("cardInfoEdit"));
  cardInfoEdit_->setReadOnly(true);
  activate_ = MakeButton(1088, "activateButton", kActivateCard);
  cardGrid->addWidget(Caption(1069, card), 0, 0);
  cardGrid->addWidget(cardInfoEdit_, 0, 1);
  cardGrid->addWidget(activate_, 1, 1, Qt::AlignRight);
  cardGrid->setColumnStretch(1, 1);

  layout->addWidget(reader);
  layout->addWidget(card, 1);
  return row;
}

QWidget* MainWindow::BuildAuthenticationGroup() {
  authGroup_ = new QGroupBox(ControlText(1048), this);
  authGroup_->setObjectName(QStringLiteral("authGroup"));
  auto* grid = new QGridLayout(authGroup_);

  crypto1Label_ = Caption(1052, authGroup_);
  aesLabel_ = Caption(1056, authGroup_);
  grid->addWidget(crypto1Label_, 0, 0, 1, 2);
  grid->addWidget(aesLabel_, 0, 0, 1, 2);

  sector_ = new QComboBox(authGroup_);
  sector_->setObjectName(QStringLiteral("sectorBox"));
  block_ = new QComboBox(authGroup_);
  block_->setObjectName(QStringLiteral("blockBox"));
  absoluteAddress_ = new QLineEdit(authGroup_);
  absoluteAddress_->setObjectName(QStringLiteral("absoluteAddressEdit"));
  absoluteAddress_->setReadOnly(true);
  absoluteAddress_->setMaximumWidth(70);
  keyType_ = new QComboBox(authGroup_);
  keyType_->setObjectName(QStringLiteral("keyTypeBox"));
  key_ = new TipHexBytesCombo(authGroup_);
  key_->setObjectName(QStringLiteral("keyBox"));
  key_->setMinimumContentsLength(32);  // grows with the window; 16 bytes need 47
  authenticate_ = MakeButton(1037, "authenticateButton", kAuthenticate);

  auto* place = new QHBoxLayout;
  place->addWidget(Caption(1095, authGroup_));
  place->addWidget(sector_);
  place->addSpacing(12);
  place->addWidget(Caption(1115, authGroup_));
  place->addWidget(block_);
  place->addSpacing(12);
  place->addWidget(Caption(1130, authGroup_));
  place->addWidget(absoluteAddress_);
  place->addStretch(1);
  grid->addLayout(place, 1, 0, 1, 2);
  auto* keyRow = new QHBoxLayout;
  keyRow->addWidget(Caption(1150, authGroup_));
  keyRow->addWidget(keyType_);
  keyRow->addSpacing(12);
  keyRow->addWidget(Caption(1165, authGroup_));
  keyRow->addWidget(key_, 1);
  keyRow->addWidget(authenticate_);
  grid->addLayout(keyRow, 2, 0, 1, 2);

  aesRow_ = new QWidget(authGroup_);
  aesRow_->setObjectName(QStringLiteral("aesRow"));
  auto* aes = new QHBoxLayout(aesRow_);
  aes->setContentsMargins(0, 0, 0, 0);
  aesAddress_ = new QComboBox(aesRow_);
  aesAddress_->setObjectName(QStringLiteral("aesAddressBox"));
  aesKey_ = new TipHexBytesCombo(aesRow_);
  aesKey_->setObjectName(QStringLiteral("aesKeyBox"));
  aesKey_->setMinimumContentsLength(32);
  aesAuthenticate_ = MakeButton(1049, "aesAuthenticateButton", kAesAuthenticate);
  aes->addWidget(Caption(1036, aesRow_));
  aes->addWidget(aesAddress_);
  aes->addWidget(Caption(1054, aesRow_));
  aes->addWidget(aesKey_, 1);
  aes->addWidget(aesAuthenticate_);
  grid->addWidget(aesRow_, 3, 0, 1, 2);
  for (QComboBox* box : {sector_, block_, keyType_, aesAddress_}) {
    box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    box->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  }

  connect(sector_, &QComboBox::currentIndexChanged, this, [this] { SectorChanged(); });
  connect(block_, &QComboBox::currentIndexChanged, this, [this] { BlockChanged(); });
  connect(keyType_, &QComboBox::currentIndexChanged, this, [this] { KeyTypeChanged(); });
  return authGroup_;
}

QWidget* MainWindow::BuildBlockGroup() {
  blockGroup_ = new QGroupBox(ControlText(1330), this);
  blockGroup_->setObjectName(QStringLiteral("blockGroup"));
  auto* grid = new QGridLayout(blockGroup_);
  blockCount_ = new QComboBox(blockGroup_);
  blockCount_->setObjectName(QStringLiteral("blockCountBox"));
  grid->addWidget(Caption(1315, blockGroup_), 0, 0);
  grid->addWidget(blockCount_, 0, 1, Qt::AlignLeft);
  const int labelIds[3] = {1300, 1305, 1310};
  const int rowIds[3] = {1320, 1190, 1205};
  for (int i = 0; i < 3; ++i) {
    grid->addWidget(Caption(labelIds[i], blockGroup_), i + 1, 0);
    addressLabels_[i] = new QLabel(blockGroup_);
    addressLabels_[i]->setObjectName(QStringLiteral("addressLabel%1").arg(i + 1));
    addressLabels_[i]->setProperty("controlId", labelIds[i]);
    dataRows_[i] = new TipHexBytesCombo(blockGroup_);
    dataRows_[i]->setObjectName(QStringLiteral("dataRow%1").arg(i + 1));
    dataRows_[i]->setProperty("controlId", rowIds[i]);
    dataRows_[i]->setMinimumContentsLength(47);
    grid->addWidget(addressLabels_[i], i + 1, 1);
    grid->addWidget(dataRows_[i], i + 1, 2, 1, 2);
  }
  readBlocks_ = MakeButton(1275, "readBlocksButton", kReadBlocks);
  writeBlocks_ = MakeButton(1295, "writeBlocksButton", kWriteBlocks);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(readBlocks_);
  buttons->addWidget(writeBlocks_);
  grid->addLayout(buttons, 4, 0, 1, 4);
  grid->setColumnStretch(2, 1);
  connect(blockCount_, &QComboBox::currentIndexChanged, this, [this] {
    if (!updating_) BlockCountCheck();
  });
  return blockGroup_;
}

QWidget* MainWindow::BuildValueGroup() {
  valueGroup_ = new QGroupBox(ControlText(1047), this);
  valueGroup_->setObjectName(QStringLiteral("valueGroup"));
  auto* grid = new QGridLayout(valueGroup_);
  source_ = new QComboBox(valueGroup_);
  source_->setObjectName(QStringLiteral("sourceBlockBox"));
  destination_ = new QComboBox(valueGroup_);
  destination_->setObjectName(QStringLiteral("destinationBlockBox"));
  operand_ = new TipHexEdit(valueGroup_);
  operand_->setObjectName(QStringLiteral("operandEdit"));
  operand_->SetMode(0);
  grid->addWidget(Caption(1280, valueGroup_), 0, 0);
  grid->addWidget(source_, 0, 1);
  grid->addWidget(Caption(1270, valueGroup_), 1, 0);
  grid->addWidget(destination_, 1, 1);
  grid->addWidget(Caption(1255, valueGroup_), 2, 0);
  grid->addWidget(operand_, 2, 1);
  struct Spec {
    int id;
    const char* name;
    int command;
  };
  const Spec specs[5] = {{1220, "readValueButton", kReadValue},
                         {1225, "writeValueButton", kWriteValue},
                         {1230, "incrementButton", kIncrement},
                         {1240, "decrementButton", kDecrement},
                         {1250, "backupButton", kBackup}};
  auto* buttons = new QGridLayout;
  for (int i = 0; i < 5; ++i) {
    valueButtons_[i] = MakeButton(specs[i].id, specs[i].name, specs[i].command);
    buttons->addWidget(valueButtons_[i], i / 2, i % 2);
  }
  grid->addLayout(buttons, 3, 0, 1, 2);
  grid->setRowStretch(4, 1);
  connect(source_, &QComboBox::currentIndexChanged, this, [this] { SourceBlockChanged(); });
  return valueGroup_;
}

void MainWindow::BuildControls() {
  auto* central = new QWidget(this);
  central->setObjectName(QStringLiteral("central"));
  setCentralWidget(central);
  auto* layout = new QVBoxLayout(central);

  layout->addWidget(BuildReaderGroup());

  tabs_ = new QTabBar(central);
  tabs_->setObjectName(QStringLiteral("levelTabs"));
  tabs_->setExpanding(false);
  updating_ = true;  // inserting the first tab selects it; no page exists yet
  for (int i = 0; i < 4; ++i) {
    tabs_->addTab(
        UiOr(("101.tab" + std::to_string(i)).c_str(), ("Level  " + std::to_string(i)).c_str()));
  }
  updating_ = false;
  layout->addWidget(tabs_);

  level0Frame_ = new QGroupBox(central);  // the page inside carries the title
  level0Frame_->setObjectName(QStringLiteral("level0Frame"));
  auto* level0Layout = new QVBoxLayout(level0Frame_);
  layout->addWidget(level0Frame_, 1);

  operations_ = new QWidget(central);
  operations_->setObjectName(QStringLiteral("operationsFrame"));
  auto* ops = new QGridLayout(operations_);
  ops->setContentsMargins(0, 0, 0, 0);
  // Authentication and the level's own options share the first row; without
  // the options (Level 1) the authentication group takes the whole row.
  auto* authRow = new QHBoxLayout;
  authRow->addWidget(BuildAuthenticationGroup(), 3);
  pageFrame_ = new QGroupBox(ControlText(1325), operations_);
  pageFrame_->setObjectName(QStringLiteral("pageFrame"));
  auto* pageLayout = new QVBoxLayout(pageFrame_);
  authRow->addWidget(pageFrame_, 2);
  ops->addLayout(authRow, 0, 0, 1, 2);
  ops->addWidget(BuildBlockGroup(), 1, 0);
  ops->addWidget(BuildValueGroup(), 1, 1);
  ops->setColumnStretch(0, 3);
  ops->setColumnStretch(1, 2);
  layout->addWidget(operations_);

  // The four pages, created once in level order and kept for the window's life.
  pages_[0] = new Level0Page(level0Frame_);
  pages_[1] = new Level1Page(pageFrame_);
  pages_[2] = new Level2Page(pageFrame_);
  pages_[3] = new Level3Page(pageFrame_);
  level0Layout->addWidget(pages_[0]);
  for (int i = 1; i < 4; ++i) pageLayout->addWidget(pages_[i]);
  for (CardLevelPage* p : pages_) {
    p->setOwner(this);
    p->hide();
  }
  level0Frame_->hide();

  auto* infoGroup = new QGroupBox(ControlText(1185), central);
  infoGroup->setObjectName(QStringLiteral("infoGroup"));
  auto* infoLayout = new QVBoxLayout(infoGroup);
  info_ = new InfoWindow(infoGroup);
  info_->setObjectName(QStringLiteral("infoWindow"));
  info_->setMinimumHeight(120);
  infoLayout->addWidget(info_);
  tipsBox_ = new TipCheckBox(ControlText(1077), infoGroup);
  tipsBox_->setObjectName(QStringLiteral("tipsCheckBox"));
  tipsBox_->setChecked(tipsEnabled_);
  infoLayout->addWidget(tipsBox_);
  layout->addWidget(infoGroup, 2);
  connect(info_, &InfoWindow::contentChanged, this, [this](bool hasText) {
    if (QAction* save = action(kSaveLog)) save->setEnabled(hasText);
  });
  connect(tipsBox_, &QCheckBox::clicked, this, [this] { ApplyTips(); });
  connect(tabs_, &QTabBar::currentChanged, this, [this](int index) {
    if (!updating_) TabChanged(index);
  });
  // A tab that looks selected while no page is shown (a stored page outside
  // 0..3) must still open on a click.
  connect(tabs_, &QTabBar::tabBarClicked, this, [this](int index) {
    if (index >= 0 && index == tabs_->currentIndex() && currentPage_ != index) TabChanged(index);
  });

  // Fill the boxes in the start-up order.
  {
    QSignalBlocker blocker(sector_);
    for (int s = 0; s < 40; ++s) sector_->addItem(Hex2(s), s);
    sector_->setCurrentIndex(1);
  }
  SectorChanged();
  BlockChanged();
  operand_->setText(QStringLiteral("1"));
  destination_->setCurrentIndex(1);
  const QByteArray key16 = DefaultKey(16);
  key_->SetBytes(reinterpret_cast<const std::uint8_t*>(key16.constData()), 16);
  {
    QSignalBlocker blocker(blockCount_);
    for (int n = 1; n <= 3; ++n) blockCount_->addItem(QString::number(n), n);
    blockCount_->setCurrentIndex(0);
  }
  BlockCountCheck();
  const QByteArray ones(16, '\xFF');
  for (TipHexBytesCombo* row : dataRows_) {
    row->SetBytes(reinterpret_cast<const std::uint8_t*>(ones.constData()), 16);
  }
  for (int address = 0x4000; address <= 0x404F; ++address) {
    aesAddress_->addItem(QString::asprintf("0x%04X", address), address);
  }
  aesAddress_->setCurrentIndex(0);
  aesKey_->SetBytes(reinterpret_cast<const std::uint8_t*>(key16.constData()), 16);

  tipRenderer_ = new TipRenderer(this);
  LoadControlTips();
  tipsBox_->Tip().SetText(LoadMessage(1785));
  tipsBox_->Tip().SetWindow(tipRenderer_);
  ApplyTips();
  resize(1000, 760);
}

void MainWindow::LoadControlTips() {
  const std::pair<TipButton*, int> tips[] = {
      {activate_, 1795},        {aesAuthenticate_, 1805}, {authenticate_, 1815},
      {valueButtons_[1], 1825}, {valueButtons_[0], 1835}, {valueButtons_[2], 1845},
      {valueButtons_[3], 1855}, {valueButtons_[4], 1865}, {disconnect_, 1875},
      {connect_, 1885},         {writeBlocks_, 1895},     {readBlocks_, 1905},
  };
  for (const auto& [button, message] : tips) button->Tip().SetText(LoadMessage(message));
}

void MainWindow::ApplyTips() {
  tipsEnabled_ = tipsBox_->isChecked();
  WriteTipEnable(tipsEnabled_);
  TipRenderer* renderer = tipsEnabled_ ? tipRenderer_ : nullptr;
  for (TipButton* button : {activate_, aesAuthenticate_, authenticate_, disconnect_, connect_,
                            writeBlocks_, readBlocks_}) {
    button->Tip().SetWindow(renderer);
  }
  for (TipButton* button : valueButtons_) button->Tip().SetWindow(renderer);
  for (CardLevelPage* p : pages_) p->SetTips(renderer);
}

// ------------------------------------------------------------ session -----

void MainWindow::Connect() {
  info_->AppendMessage(1915);
  if (ReaderCommInit() != 0) {
    connected_ = false;
    info_->AppendMessage(1930);
    return;
  }
  connected_ = true;
  info_->AppendMessage(1925);
  connect_->setEnabled(false);
  disconnect_->setEnabled(true);
  action(kDisconnect)->setEnabled(true);
  action(kConnect)->setEnabled(false);
  if (CardLevelPage* p = CurrentPage()) LevelStep(p->level());
  authenticate_->setFocus();
}

void MainWindow::Disconnect() {
  ReaderCommExit();
  connected_ = false;
  info_->AppendMessage(1875);
  connect_->setEnabled(true);
  disconnect_->setEnabled(false);
  action(kConnect)->setEnabled(true);
  action(kDisconnect)->setEnabled(false);
  SetCardMenuItems(-1);
}

int MainWindow::Activate(int force, int* errorOut, QString* cardInfoOut, int* cardVariant) {
  auto fail = [errorOut](int code) {
    if (errorOut != nullptr) *errorOut = code;
    return 0;
  };
  if (!connected_) return fail(1950);
  PiccDeSelect();
  PiccHalt();

  unsigned char atq[2] = {};
  unsigned char uid[10] = {};
  unsigned char uidLength = 0;
  unsigned char sak = 0;
  const int status = PiccActivate(0x52, atq, uid, &uidLength, &sak);
  if (status != 0) {
    cardInfo_.clear();
    if (cardInfoOut != nullptr) cardInfoOut->clear();
    ShowCardInfo();
    return fail(status);
  }
  // The UID is printed last byte first, the ATQ second byte first.
  QString text = QStringLiteral("UID: 0x");
  for (int i = std::min<int>(uidLength, 10) - 1; i >= 0; --i)
    text += QString::asprintf("%02X", uid[i]);
  text += QString::asprintf("    ATQ: 0x%02X%02X    SAK: 0x%02X", atq[1], atq[0], sak);
  cardInfo_ = text;
  if (cardInfoOut != nullptr) *cardInfoOut = text;

  CardLevelPage* current = CurrentPage();
  const bool level3 = current != nullptr && current->level() == 3;
  if (force == 0 && !level3) {
    ShowCardInfo();
    return 1;
  }
  unsigned char ats[100];
  std::memset(ats, 0x07, sizeof ats);
  const int ratsStatus = PiccRATS(10, ats);
  if (ratsStatus != 0) {
    ShowCardInfo();
    return fail(RegisterMessage(FormatMessage(2205, qUtf8Printable(MessageText(ratsStatus)))));
  }
  if (cardVariant != nullptr) {
    *cardVariant = AtsNamesPlusS(ats, sizeof ats) ? 1 : 128;
  }
  const int ppsStatus = PiccPPS(0, 0);
  ShowCardInfo();
  if (ppsStatus != 0) return fail(ppsStatus);
  return 1;
}

void MainWindow::ShowCardInfo() {
  cardInfoEdit_->setText(cardInfo_);
}

void MainWindow::AppendLog(const QString& text, bool highlight) {
  info_->AppendLog(text, highlight);
}

CardLevelPage* MainWindow::CurrentPage() const {
  return currentPage_ >= 0 && currentPage_ <= 3 ? pages_[currentPage_] : nullptr;
}

int MainWindow::SelectedSector() const {
  return sector_->currentData().toInt();
}
int MainWindow::SelectedKeyType() const {
  return keyType_->currentData().toInt();
}
int MainWindow::SelectedReaderType() const {
  return readerType_->currentData().toInt();
}
int MainWindow::SelectedCardType() const {
  return cardType_->currentData().toInt();
}
int MainWindow::Recover(int* errorOut) {
  return RecoverCard(*this, errorOut);
}
int MainWindow::AesAuthenticate(int* errorOut) {
  return AesAuthenticateCard(*this, errorOut);
}
int MainWindow::SelectedBlockCount() const {
  return blockCount_->currentData().toInt();
}
int MainWindow::SelectedBlockInSector() const {
  return block_->currentData().toInt();
}
int MainWindow::SelectedAesKeyAddress() const {
  return aesAddress_->currentData().toInt();
}
int MainWindow::Operand() const {
  return operand_->GetValue();
}
bool MainWindow::KeyBytes(std::uint8_t* out, int count) const {
  return key_->GetExactBytes(out, count);
}
bool MainWindow::AesKeyBytes(std::uint8_t* out, int count) const {
  return aesKey_->GetExactBytes(out, count);
}
bool MainWindow::DataRowBytes(int row, std::uint8_t* out, int count) const {
  return row >= 0 && row < 3 && dataRows_[row]->GetExactBytes(out, count);
}
void MainWindow::ShowDataRow(int row, const std::uint8_t* bytes, int count) {
  if (row >= 0 && row < 3) dataRows_[row]->SetBytes(bytes, count);
}

QAction* MainWindow::action(int commandId) const {
  auto it = actions_.find(commandId);
  return it == actions_.end() ? nullptr : it->second;
}

// ------------------------------------------------------- block addressing --

int MainWindow::BlockAddress(BlockBox box) const {
  const QComboBox* combo = box == BlockBox::Block    ? block_
                           : box == BlockBox::Source ? source_
                                                     : destination_;
  return BlockAddress(SelectedSector(), combo->currentData().toInt());
}

void MainWindow::SectorChanged() {
  if (updating_) return;
  updating_ = true;
  const int sector = SelectedSector();
  const int blocks = DataBlocks(sector);
  // Each box keeps its block number where the new sector has it: the lists of
  // sector 0 start at block 1, the others at 0, so positions would shift.
  auto refill = [](QComboBox* box, int first, int end) {
    const int kept = box->currentData().toInt();
    QSignalBlocker blocker(box);
    box->clear();
    for (int b = first; b < end; ++b) box->addItem(QString::number(b), b);
    box->setCurrentIndex(std::max(box->findData(kept), 0));
  };
  // Block 0 of sector 0 is the manufacturer block: never a value source or target.
  const int firstValueBlock = sector == 0 ? 1 : 0;
  refill(block_, 0, blocks);
  refill(source_, firstValueBlock, blocks);
  refill(destination_, firstValueBlock, blocks);
  updating_ = false;
  BlockChanged();  // the source follows the block; addresses and count follow too
}

void MainWindow::BlockChanged() {
  if (updating_) return;
  const int index = block_->currentIndex();
  const int sourceIndex = SelectedSector() == 0 ? index - 1 : index;
  if (sourceIndex >= 0 && sourceIndex < source_->count()) {
    QSignalBlocker blocker(source_);
    source_->setCurrentIndex(sourceIndex);
  }
  UpdateAddresses();
  if (blockCount_->count() > 0) BlockCountCheck();
}

void MainWindow::SourceBlockChanged() {
  if (updating_) return;
  const int index = source_->currentIndex();
  const int blockIndex = SelectedSector() == 0 ? index + 1 : index;
  if (blockIndex >= 0 && blockIndex < block_->count()) {
    QSignalBlocker blocker(block_);
    block_->setCurrentIndex(blockIndex);
  }
  UpdateAddresses();
  if (blockCount_->count() > 0) BlockCountCheck();
}

void MainWindow::UpdateAddresses() {
  const int address = BlockAddress(BlockBox::Block);
  absoluteAddress_->setText(Hex2(address));
  for (int i = 0; i < 3; ++i) addressLabels_[i]->setText(Hex2(address + i));
}

void MainWindow::BlockCountCheck() {
  const int limit = DataBlocks(SelectedSector()) - SelectedBlockInSector();
  int count = SelectedBlockCount();
  if (count > limit) {
    AppendLog(FormatMessage(2140, count, limit), false);
    count = limit;
  }
  {
    QSignalBlocker blocker(blockCount_);
    blockCount_->setCurrentIndex(std::clamp(count, 1, 3) - 1);
  }
  for (int i = 0; i < 3; ++i) dataRows_[i]->setEnabled(i < count);
}

void MainWindow::KeyTypeChanged() {
  if (updating_) return;
  const int type = SelectedKeyType();
  const int length = type >= 4 && type <= 7 ? 16 : 6;
  key_->SetByteCount(length);
  const QByteArray key = DefaultKey(length);
  key_->SetBytes(reinterpret_cast<const std::uint8_t*>(key.constData()), length);
  Activate(0, nullptr, nullptr, nullptr);
}

// ------------------------------------------------------------ level tabs ---

void MainWindow::SelectLevel(int index) {
  if (index < 0 || index > 3) return;
  if (tabs_->currentIndex() != index) {
    tabs_->setCurrentIndex(index);  // runs TabChanged through the signal
  } else {
    TabChanged(index);
  }
}

void MainWindow::TabChanged(int index) {
  if (index < 0 || index > 3) return;
  currentPage_ = index;
  // Hide before showing, so the window never has to hold two pages at once.
  for (int i = 0; i < 4; ++i) {
    if (i != index) pages_[i]->hide();
  }
  pages_[index]->show();
  LevelStep(index);
  WriteDefaultPage(index);
}

void MainWindow::LevelStep(int level) {
  if (level == 0) {
    operations_->hide();
    level0Frame_->show();
  } else {
    level0Frame_->hide();
    operations_->show();
  }
  if (level != 0) {
    pageFrame_->setVisible(level >= 2);
    aesRow_->setVisible(level == 2);
    crypto1Label_->setVisible(level != 3);
    aesLabel_->setVisible(level == 3);
    blockCount_->setEnabled(level != 1);
    if (level == 1) {
      QSignalBlocker blocker(blockCount_);
      blockCount_->setCurrentIndex(0);
    }
    BlockCountCheck();
    const int first = level == 1 ? 0 : level == 2 ? 2 : 5;
    updating_ = true;
    keyType_->clear();
    keyType_->addItem(LoadMessage(2130), first);
    keyType_->addItem(LoadMessage(2135), first + 1);
    keyType_->setCurrentIndex(0);
    updating_ = false;
    KeyTypeChanged();
  }
  SetCardMenuItems(level);
  KeyTypeChanged();
}

void MainWindow::SetCardMenuItems(int level) {
  for (const CommandInfo& info : CommandTable()) {
    if (IsCardItem(info)) action(info.id)->setEnabled(EnabledOnLevel(info, level));
  }
}

// ------------------------------------------------------------ commands -----

CardLevelPage* MainWindow::RoutedPage(int commandId) const {
  const int level = RoutedLevel(commandId);
  return level < 0 ? nullptr : pages_[level];
}

void MainWindow::RunCommand(int commandId) {
  if (CardLevelPage* target = RoutedPage(commandId)) target->RunSettingCommand(commandId);

  if (const OperatorCommand* registered = FindOperatorCommand(commandId)) {
    (*registered)(*this);
    return;
  }
  switch (commandId) {
    case kAbout:
      ShowAbout();
      return;
    case kSaveLog:
      info_->SaveLog();
      return;
    case kClose:
      close();
      return;
    case kConnect:
      Connect();
      return;
    case kDisconnect:
      Disconnect();
      return;
    case kLevel0:
    case kLevel1:
    case kLevel2:
    case kLevel3:
      SelectLevel(commandId == kLevel0   ? 0
                  : commandId == kLevel1 ? 1
                  : commandId == kLevel2 ? 2
                                         : 3);
      return;
    case kTraditionalChinese:
    case kSimplifiedChinese:
    case kEnglish:
      ChooseLanguage(commandId);
      return;
    case kActivateCard:
      ActivateCardCommand();
      return;
    default:
      break;
  }
  // An operator command that nobody registered says so rather than doing nothing.
  const CommandInfo* info = FindCommand(commandId);
  if (info != nullptr && info->handler == CommandHandler::Operator &&
      commandId != kReadAllSectors) {
    const bool button = info->menu == MenuPlace::None;
    AppendLog(NotAvailableText(button ? ControlText(commandId) : MenuCommandText(commandId)),
              false);
  }
}

void MainWindow::ActivateCardCommand() {
  int code = 0;
  if (Activate(0, &code, nullptr, nullptr) != 0) {
    AppendLog(LoadMessage(1960), false);
  } else {
    AppendLog(FormatMessage(1970, qUtf8Printable(MessageText(code))), false);
  }
}

void MainWindow::ChooseLanguage(int commandId) {
  const Language language = commandId == kTraditionalChinese ? Language::TraditionalChinese
                            : commandId == kEnglish          ? Language::English
                                                             : Language::SimplifiedChinese;
  WriteLanguage(language);
  CurrentPrompts().Message(this, LoadMessage(2402), LoadMessage(2401), Prompts::Icon::Information);
}

void MainWindow::ShowAbout() {
  if (about_ != nullptr) {
    about_->raise();
    return;
  }
  about_ = new QDialog(this);
  about_->setObjectName(QStringLiteral("aboutBox"));
  about_->setWindowTitle(UiText(QStringLiteral("100.title")));
  about_->setAttribute(Qt::WA_DeleteOnClose);
  auto* layout = new QHBoxLayout(about_);
  auto* icon = new QLabel(about_);
  icon->setPixmap(windowIcon().pixmap(48, 48));
  layout->addWidget(icon, 0, Qt::AlignTop);
  auto* right = new QVBoxLayout;
  auto* version = new QLabel(UiText(QStringLiteral("100.version")), about_);
  version->setObjectName(QStringLiteral("aboutVersion"));
  auto* year = new QLabel(UiText(QStringLiteral("100.year")), about_);
  year->setObjectName(QStringLiteral("aboutYear"));
  right->addWidget(version);
  right->addWidget(year);
  auto* ok = new QPushButton(UiText(QStringLiteral("100.ok")), about_);
  ok->setObjectName(QStringLiteral("aboutOk"));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, about_, &QDialog::accept);
  right->addWidget(ok, 0, Qt::AlignRight);
  layout->addLayout(right);
  connect(about_, &QObject::destroyed, this, [this] { about_ = nullptr; });
  about_->open();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // Closing ends the program; the reader is released only by an explicit disconnect.
  event->accept();
}
