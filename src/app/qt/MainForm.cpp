#include "app/qt/MainForm.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdio>

#include "app/Autostart.h"
#include "app/ProgramIdentity.h"
#include "app/RecordingHistory.h"
#include "app/ShowNames.h"
#include "app/qt/AboutForm.h"
#include "app/qt/Housekeeper.h"
#include "app/qt/Mp3ConfigDialog.h"
#include "app/qt/PodcastShare.h"
#include "app/qt/RecordingDesk.h"
#include "app/qt/TimeEdit.h"
#include "common/ProgramFolders.h"
#include "playback/WebLookups.h"

// The pictures are compiled into the static window library, whose resource
// initialiser the linker would otherwise drop.
static void InitWavecrateResources() {
  Q_INIT_RESOURCE(wavecrate);
}

namespace wavecrate {

namespace {

constexpr int kClientWidth = 954;
constexpr int kClientHeight = 671;
constexpr int kFirstRowTop = 276;
constexpr int kRowPitch = 32;
constexpr int kHiddenColumnX = 7600;  // the Daily column sits outside the visible area

const char* const kOnOffNames[4] = {"CheckBox1", "CheckBox4", "CheckBox7", "CheckBox10"};
const char* const kUrlNames[4] = {"Edit1", "Edit4", "Edit7", "Edit10"};
const char* const kStationNames[4] = {"Edit2", "Edit5", "Edit8", "Edit11"};
const char* const kStartNames[4] = {"ComboBox1", "ComboBox3", "ComboBox5", "ComboBox7"};
const char* const kDurationNames[4] = {"ComboBox2", "ComboBox4", "ComboBox6", "ComboBox8"};
const char* const kShowNames[4] = {"Edit3", "Edit6", "Edit9", "Edit12"};
const char* const kDailyNames[4] = {"CheckBox2", "CheckBox5", "CheckBox8", "CheckBox11"};
const char* const kWeekDayNames[4] = {"CheckBox3", "CheckBox6", "CheckBox9", "CheckBox12"};
const char* const kSatNames[4] = {"CheckBox13", "CheckBox15", "CheckBox17", "CheckBox19"};
const char* const kSunNames[4] = {"CheckBox14", "CheckBox16", "CheckBox18", "CheckBox20"};
// Start fields' buttons carry Tags 0..3, the durations' buttons Tags 4..7.
const char* const kStartUpDownNames[4] = {"UpDown5", "UpDown6", "UpDown7", "UpDown8"};
const char* const kDurationUpDownNames[4] = {"UpDown1", "UpDown2", "UpDown3", "UpDown4"};

const char* const kInstruction2 =
    "2)  Copy the stream link by right clicking on \"Play\" and selecting \"Copy Link\" (\"Copy Link "
    "Address\" in some browsers), then paste the link in the Stream Link box below. Click the On/Off check "
    "box.";
const char* const kInstruction3 =
    "3)  Select the times and days you would like the stream to be recorded and select the show name. Leave "
    "the Vista box below as it is: it only keeps a choice of earlier versions.";
const char* const kInstruction4 =
    "4)  Click \"Save Changes\" and then click \"Close Program\". The streams will then automatically be "
    "recorded at the selected times.";
const char* const kInstruction5 =
    "5)  Note: the program records what it plays itself, through a mix of its own on your sound server, so "
    "nothing needs to be set up in your Sound settings and no other sound is recorded. Muting silences only "
    "your speakers, never a recording. For further help, click Help above.";
// The folder box starts empty; this says what belongs in it.
const char* const kFolderPlaceholder = "Choose a folder you can write to (Browse)";

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, int x, int y, int w = -1,
                  int h = 16) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(name);
  label->setStyleSheet("color: white;");
  if (w < 0) w = label->sizeHint().width();
  label->setGeometry(x, y, w, h);
  return label;
}

// Check boxes drawn for the window's blue. The platform style draws the box
// in the palette's base colour and the tick in its text colour, which on this
// background came out as a grey box with a pale tick for every ticked box,
// hard to tell from a disabled one. Here: a white box with a dark tick, a
// white empty box, and a grey box (with a grey tick) when disabled.
class TFormCheckStyle : public QProxyStyle {
 public:
  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
    if (element != PE_IndicatorCheckBox) {
      QProxyStyle::drawPrimitive(element, option, painter, widget);
      return;
    }
    const bool enabled = option->state & State_Enabled;
    const bool pressed = enabled && (option->state & State_Sunken);
    const int side = std::min(option->rect.width(), option->rect.height());
    QRectF box(option->rect.x(), option->rect.y(), side, side);
    box.moveCenter(QRectF(option->rect).center());
    box.adjust(0.5, 0.5, -0.5, -0.5);  // a crisp one-pixel border

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(QPen(enabled ? QColor(16, 28, 78) : QColor(96, 100, 112), 1.0));
    painter->setBrush(!enabled ? QColor(150, 154, 164) : pressed ? QColor(214, 222, 245) : QColor(Qt::white));
    painter->drawRect(box);
    const QColor mark = enabled ? QColor(16, 24, 48) : QColor(84, 88, 98);
    const qreal w = box.width();
    if (option->state & State_NoChange) {
      painter->fillRect(QRectF(box.left() + w * 0.25, box.center().y() - w * 0.08, w * 0.5, w * 0.16), mark);
    } else if (option->state & State_On) {
      QPen tick(mark, std::max<qreal>(1.6, w * 0.16));
      tick.setCapStyle(Qt::RoundCap);
      tick.setJoinStyle(Qt::RoundJoin);
      painter->setPen(tick);
      const QPointF points[3] = {{box.left() + w * 0.22, box.top() + w * 0.52},
                                 {box.left() + w * 0.42, box.top() + w * 0.72},
                                 {box.left() + w * 0.78, box.top() + w * 0.28}};
      painter->drawPolyline(points, 3);
    }
    painter->restore();
  }
};

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& caption, int x, int y, int w = 17) {
  // One style for every box of the run, owned by the application, which
  // outlives every window.
  static QPointer<TFormCheckStyle> checkStyle;
  if (!checkStyle) {
    checkStyle = new TFormCheckStyle;
    checkStyle->setParent(QCoreApplication::instance());
  }
  auto* box = new QCheckBox(caption, parent);
  box->setObjectName(name);
  box->setStyle(checkStyle);
  // The caption: white on the blue, a pale grey-blue when disabled.
  QPalette palette = box->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(176, 188, 228));
  box->setPalette(palette);
  box->setGeometry(x, y, caption.isEmpty() ? w : box->sizeHint().width() + 4, 17);
  return box;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, int x, int y, int w) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setGeometry(x, y, w, 21);
  return edit;
}

// Show-name lists only offer picks: every typed key is discarded, yet the box
// can show any text the settings file holds.
class TShowNameKeyFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::KeyPress) {
      auto* key = static_cast<QKeyEvent*>(event);
      const bool navigation = key->key() == Qt::Key_Up || key->key() == Qt::Key_Down ||
                              key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab ||
                              key->key() == Qt::Key_F4 || (key->modifiers() & Qt::AltModifier);
      if (!navigation) return true;  // Edit3KeyPress: the key is dropped
    }
    return QObject::eventFilter(watched, event);
  }
};

}  // namespace

TForm1::TForm1(const TAppPaths& paths, std::shared_ptr<TAppServices> services, QWidget* parent)
    : QMainWindow(parent), paths_(paths) {
  setObjectName("Form1");
  setWindowTitle("Wavecrate Talk Radio Recorder");
  InitWavecrateResources();
  QWidget* client = BuildControls();
  controller_ = std::make_unique<TMainController>(paths_, std::move(services), *this, client);
  BuildMenu();
  CreateTrayIcon();
  controller_->SetDesk(desk_);
  // Files the housekeeping moved leave the Recordings window's list.
  connect(controller_->Housekeeper(), &THousekeeper::Done, this, [this](int moved) {
    TRecordingsForm* list = desk_ ? desk_->RecordingsWindow() : nullptr;
    if (moved > 0 && list && list->isVisible()) list->Reload();
  });
  QPalette p = palette();
  p.setColor(QPalette::Window, FormColour());
  setPalette(p);
  setAutoFillBackground(true);
  for (int i = 0; i < 4; ++i) {
    TimeEdits[i] = rows_[i].Start;
    TimeEdits[4 + i] = rows_[i].Duration;
  }
  form3_ = new TForm3(this);
  form3_->setWindowFlag(Qt::Window);
  controller_->StartUp();
}

TForm1::~TForm1() {
  // The controls are still there for the settings' last write.
  ExitSequence(false);
}

QWidget* TForm1::BuildControls() {
  auto* client = new QWidget(this);
  client->setObjectName("ClientArea");
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);
  // The layout's pixel positions assume a small dialog font (11 pixels).
  QFont small = client->font();
  small.setPixelSize(11);
  client->setFont(small);

  auto* image = new QLabel(client);
  image->setObjectName("Image1");
  image->setGeometry(16, 8, 857, 89);
  image->setScaledContents(true);
  image->setPixmap(QPixmap(":/header.jpg"));

  QLabel* instructions = MakeLabel(client, "Label16", "Instructions :", 16, 102);
  QFont underlined = instructions->font();
  underlined.setUnderline(true);
  underlined.setBold(true);
  instructions->setFont(underlined);
  instructions->resize(instructions->sizeHint());

  // Instruction line 1 holds a run of blanks on which the link label sits.
  auto* link = new QLabel(QStringLiteral(WAVECRATE_VENDOR_HOST), client);
  link->setObjectName("Label12");
  QFont linkFont = link->font();
  linkFont.setUnderline(true);
  link->setFont(linkFont);
  link->setStyleSheet("color: white;");
  link->setCursor(Qt::PointingHandCursor);
  const QFontMetrics fm(link->font());
  const QString lead = "1)  Go to ";
  const int blanks = fm.horizontalAdvance(link->text()) / std::max(1, fm.horizontalAdvance(' ')) + 1;
  const QString line1 = lead + QString(blanks, ' ') +
                        "to find a stream that you would like to record (in your web browser, click Play to "
                        "confirm that the stream is working properly).";
  MakeLabel(client, "Label11", line1, 16, 120, 920);
  link->setGeometry(16 + fm.horizontalAdvance(lead), 120, fm.horizontalAdvance(link->text()) + 2, 16);
  link->raise();
  link->installEventFilter(this);
  MakeLabel(client, "Label17", kInstruction2, 16, 138, 920);
  MakeLabel(client, "Label18", kInstruction3, 16, 156, 920);
  MakeLabel(client, "Label20", kInstruction4, 16, 174, 920);
  QLabel* note = MakeLabel(client, "Label22", kInstruction5, 16, 192, 900, 32);
  note->setWordWrap(true);

  // Column headings.
  MakeLabel(client, "Label1", "On/Off", 14, 242);
  MakeLabel(client, "Label2", "Stream Link", 56, 242);
  MakeLabel(client, "Label3", "Station", 232, 242);
  MakeLabel(client, "Label4", "Start Time", 280, 242);
  MakeLabel(client, "Label5", "(hh:mm:ss)", 280, 256);
  MakeLabel(client, "Label6", "Duration", 400, 242);
  MakeLabel(client, "Label7", "(hh:mm:ss)", 400, 256);
  MakeLabel(client, "Label8", "Show Name", 488, 242);
  MakeLabel(client, "Label9", "Weekdays", 660, 242);
  MakeLabel(client, "Label10", "Sat.", 718, 242);
  MakeLabel(client, "Label13", "Sun.", 756, 242);
  MakeLabel(client, "Label14", "Daily", kHiddenColumnX, 242);

  std::vector<QString> entries;
  for (const std::string& e : ShowNameEntries()) entries.push_back(QString::fromStdString(e));
  auto* keyFilter = new TShowNameKeyFilter(this);

  for (int i = 0; i < 4; ++i) {
    const int y = kFirstRowTop + i * kRowPitch;
    TSlotRow& r = rows_[i];
    r.OnOff = MakeCheck(client, kOnOffNames[i], QString(), 24, y + 2);
    r.Url = MakeEdit(client, kUrlNames[i], 56, y, 165);
    r.Station = MakeEdit(client, kStationNames[i], 232, y, 41);
    r.Start = new TTimeEdit(0, kDefaultStartTime, client);
    r.Start->setObjectName(kStartNames[i]);
    r.Start->setGeometry(280, y, 87, 21);
    auto* startButtons = new TUpDown(i, client);
    startButtons->setObjectName(kStartUpDownNames[i]);
    startButtons->setGeometry(368, y, 17, 21);
    r.Duration = new TTimeEdit(2, kDefaultDuration, client);
    r.Duration->setObjectName(kDurationNames[i]);
    r.Duration->setGeometry(400, y, 57, 21);
    auto* durationButtons = new TUpDown(4 + i, client);
    durationButtons->setObjectName(kDurationUpDownNames[i]);
    durationButtons->setGeometry(458, y, 17, 21);
    for (TUpDown* b : {startButtons, durationButtons}) {
      connect(b, &TUpDown::Clicked, this, &TForm1::UpDown5Click);
    }

    r.ShowName = new QComboBox(client);
    r.ShowName->setObjectName(kShowNames[i]);
    r.ShowName->setGeometry(488, y, 185, 21);
    r.ShowName->setEditable(true);
    r.ShowName->lineEdit()->setReadOnly(true);
    r.ShowName->setInsertPolicy(QComboBox::NoInsert);
    r.ShowName->setMaxVisibleItems(24);
    for (const QString& e : entries) r.ShowName->addItem(e);
    r.ShowName->setCurrentIndex(-1);
    r.ShowName->setEditText(QString());
    r.ShowName->installEventFilter(keyFilter);
    r.ShowName->lineEdit()->installEventFilter(keyFilter);

    r.WeekDay = MakeCheck(client, kWeekDayNames[i], QString(), 680, y + 2);
    r.Sat = MakeCheck(client, kSatNames[i], QString(), 720, y + 2);
    r.Sun = MakeCheck(client, kSunNames[i], QString(), 760, y + 2);
    r.Daily = MakeCheck(client, kDailyNames[i], QString(), kHiddenColumnX, y + 2);
  }

  MakeLabel(client, "Label15", "Folder to save file in : ", 24, 414);
  SaveFileName = MakeEdit(client, "SaveFileName", 150, 411, 385);
  SaveFileName->setPlaceholderText(kFolderPlaceholder);
  auto* browse = new QPushButton("Browse", client);
  browse->setObjectName("Button1");
  browse->setGeometry(540, 409, 70, 25);
  connect(browse, &QPushButton::clicked, this, &TForm1::Button1Click);

  MakeLabel(client, "Label19", "Filename format :", 24, 446);
  ComboBox9 = new QComboBox(client);
  ComboBox9->setObjectName("ComboBox9");
  ComboBox9->setEditable(true);
  ComboBox9->setInsertPolicy(QComboBox::NoInsert);
  ComboBox9->addItems({"showname-mm-dd-yyyy", "mm-dd-yyyy-showname", "yyyy-mm-dd-showname"});
  ComboBox9->setEditText(kDefaultFileNameFormat);
  ComboBox9->setGeometry(150, 443, 200, 21);

  IsVista = MakeCheck(client, "IsVista", "My operating system is Vista", 24, 476);
  IsMute = MakeCheck(client, "IsMute", "Mute Sound when Recording", 24, 500);
  connect(IsVista, &QCheckBox::clicked, this, &TForm1::IsVistaClick);
  Warning = MakeLabel(client, "Warning", "Muting is off with this box: use headphones to keep shows quiet.",
                      230, 500);
  Warning->setVisible(false);

  auto* save = new QPushButton("Save changes", client);
  save->setObjectName("Button2");
  save->setGeometry(24, 530, 110, 27);
  connect(save, &QPushButton::clicked, this, [this] { Button2Click(); });
  auto* closeProgram = new QPushButton("Close Program", client);
  closeProgram->setObjectName("Button3");
  closeProgram->setGeometry(150, 530, 110, 27);
  connect(closeProgram, &QPushButton::clicked, this, &TForm1::Button3Click);

  Timer5 = new QTimer(this);
  Timer5->setObjectName("Timer5");
  Timer5->setInterval(200);
  connect(Timer5, &QTimer::timeout, this, &TForm1::Timer5Timer);
  // Not started: the embedded pages answer their own script dialogs, so no
  // script-error window can appear here, and the program need not wake five
  // times a second to look for one.

  // Client area 954 x 671 (plus the menu bar), centred on the screen.
  adjustSize();
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
  return client;
}

void TForm1::BuildMenu() {
  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu");
  QMenu* file = bar->addMenu("&File");
  file->setObjectName("File1");
  QAction* recordings = file->addAction(QString::fromUtf8("&Recordings\u2026"));
  recordings->setObjectName("Recordings1");
  connect(recordings, &QAction::triggered, this, &TForm1::Recordings1Click);
  QAction* exit = file->addAction("&Exit");
  exit->setObjectName("Exit1");
  connect(exit, &QAction::triggered, this, &TForm1::Exit1Click);

  QMenu* options = bar->addMenu("&Options");
  options->setObjectName("Option1");
  QAction* quality = options->addAction("&Recording Quality");
  quality->setObjectName("MP31");
  connect(quality, &QAction::triggered, this, &TForm1::MP31Click);
  options->addSeparator();
  JoinShows1 = options->addAction("&Join Shows Already Under Way");
  JoinShows1->setObjectName("JoinShows1");
  JoinShows1->setCheckable(true);
  JoinShows1->setChecked(true);
  connect(JoinShows1, &QAction::toggled, this, &TForm1::JoinShows1Click);
  AddKeepRecordingsMenuItem(options, this, controller_->Housekeeper());
  AddPodcastMenuItem(options, this, controller_->Podcast());
  QAction* autostart = options->addAction("Start with the Desktop");
  autostart->setObjectName("StartWithDesktop1");
  autostart->setCheckable(true);
  // The autostart entry's presence is the setting, and the desktop's own
  // settings may remove it at any time: show what is there.
  const auto showAutostart = [autostart] {
    autostart->setChecked(AutostartEnabled(AutostartEntryPath(TXdgEnvironment::FromProcess())));
  };
  showAutostart();
  connect(options, &QMenu::aboutToShow, this, showAutostart);
  connect(autostart, &QAction::triggered, this, &TForm1::StartWithDesktop1Click);

  QMenu* help = bar->addMenu("&Help");
  help->setObjectName("Help1");
  QAction* helpPage = help->addAction("&Help");
  helpPage->setObjectName("Help2");
  connect(helpPage, &QAction::triggered, this, &TForm1::Help2Click);
  QAction* about = help->addAction("&About");
  about->setObjectName("About1");
  connect(about, &QAction::triggered, this, &TForm1::About1Click);
}

void TForm1::CreateTrayIcon() {
  // Without a tray host the icon cannot be added; as with any failed add,
  // nothing is reported.
  trayIcon_ = new QSystemTrayIcon(TRecordingDesk::IdleIcon(), this);
  trayIcon_->setObjectName("TrayIcon");
  trayIcon_->setToolTip(QString::fromStdString(TrayTip(paths_.Title)));
  connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    // A left click brings the window back; a right click opens the menu.
    if (reason == QSystemTrayIcon::Trigger) ShowFromTray();
  });

  auto* menu = new QMenu(this);
  menu->setObjectName("TrayMenu");
  // What records now or what is next, as the tip says it; the desk keeps it
  // current, and once more as the menu opens.
  QAction* status = menu->addAction(QString());
  status->setObjectName("TrayStatus");
  status->setEnabled(false);
  connect(menu, &QMenu::aboutToShow, this, [this] {
    if (desk_) desk_->RefreshTray();
  });
  menu->addSeparator();
  QAction* show = menu->addAction("Show Window");
  show->setObjectName("TrayShowWindow");
  connect(show, &QAction::triggered, this, &TForm1::ShowFromTray);
  QAction* recordings = menu->addAction(QString::fromUtf8("Recordings\u2026"));
  recordings->setObjectName("TrayRecordings");
  connect(recordings, &QAction::triggered, this, &TForm1::Recordings1Click);
  QAction* quality = menu->addAction("Recording Quality");
  quality->setObjectName("TrayRecordingQuality");
  connect(quality, &QAction::triggered, this, &TForm1::MP31Click);
  menu->addSeparator();
  QAction* exit = menu->addAction("Exit");
  exit->setObjectName("TrayExit");
  connect(exit, &QAction::triggered, this, &TForm1::Exit1Click);
  trayIcon_->setContextMenu(menu);

  TRecordingDesk::TSources sources;
  sources.AppClock = &controller_->AppClock();
  sources.Schedule = [this] { return controller_->ScheduledSlots(); };
  sources.PlannedEnd = [this](int n) { return controller_->PlannedEnd(n); };
  sources.HistoryPath = HistoryPathFor(ProgramFolders().StateFolder, paths_.ExePath);
  desk_ = new TRecordingDesk(trayIcon_, paths_.Title, std::move(sources), this);
  if (QSystemTrayIcon::isSystemTrayAvailable()) trayIcon_->show();
}

void TForm1::Recordings1Click() {
  if (desk_) desk_->ShowRecordings();
}

void TForm1::ShowFromTray() {
  showNormal();
  raise();
  activateWindow();
}

TSettings TForm1::ReadControls() const {
  TSettings s;
  for (int i = 0; i < 4; ++i) {
    const TSlotRow& r = rows_[i];
    TSlotControls& c = s.Slots[i];
    c.URL = r.Url->text().toStdString();
    c.Check = r.OnOff->isChecked();
    c.StartTime = r.Start->text().toStdString();
    c.EndTime = r.Duration->text().toStdString();
    c.ShowName = r.ShowName->currentText().toStdString();
    c.Station = r.Station->text().toStdString();
    c.Daily = r.Daily->isChecked();
    c.WeekDay = r.WeekDay->isChecked();
    c.Sat = r.Sat->isChecked();
    c.Sun = r.Sun->isChecked();
  }
  s.SaveFilePath = SaveFileName->text().toStdString();
  s.FileNameFormat = ComboBox9->currentText().toStdString();
  s.IsMute = IsMute->isChecked();
  s.IsVista = IsVista->isChecked();
  s.JoinShowsUnderWay = JoinShows1->isChecked();
  return s;
}

void TForm1::LoadIntoControls(const TSettings& s) {
  for (int i = 0; i < 4; ++i) {
    TSlotRow& r = rows_[i];
    const TSlotControls& c = s.Slots[i];
    r.Url->setText(QString::fromStdString(c.URL));
    r.OnOff->setChecked(c.Check);
    r.Start->SetFieldText(QString::fromStdString(c.StartTime));
    r.Duration->SetFieldText(QString::fromStdString(c.EndTime));
    const QString show = QString::fromStdString(c.ShowName);
    const int index = r.ShowName->findText(show, Qt::MatchExactly);
    r.ShowName->setCurrentIndex(index);
    r.ShowName->setEditText(show);
    r.Station->setText(QString::fromStdString(c.Station));
    r.Daily->setChecked(c.Daily);
    r.WeekDay->setChecked(c.WeekDay);
    r.Sat->setChecked(c.Sat);
    r.Sun->setChecked(c.Sun);
  }
  // The hint that earlier versions kept in the box (and so in settings files)
  // is no folder: the box shows it as its placeholder instead.
  SaveFileName->setText(s.SaveFilePath == kSaveFolderHint ? QString()
                                                          : QString::fromStdString(s.SaveFilePath));
  ComboBox9->setEditText(QString::fromStdString(s.FileNameFormat));
  // Setting IsVista runs its click behaviour, then IsMute is set even when
  // that just disabled it.
  IsVista->setChecked(s.IsVista);
  IsVistaClick();
  IsMute->setChecked(s.IsMute);
  JoinShows1->setChecked(s.JoinShowsUnderWay);
}

void TForm1::ShowWindow() {
  show();
}

void TForm1::ShowMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(paths_.Title), QString::fromStdString(text),
                  QMessageBox::Ok, isVisible() ? this : nullptr);
  box.exec();
}

bool TForm1::Button2Click() {
  return controller_->SaveChanges(false);
}

void TForm1::ExitSequence(bool interactive) {
  if (controller_ && controller_->ExitSequence(interactive) && trayIcon_) trayIcon_->hide();
}

void TForm1::closeEvent(QCloseEvent* event) {
  // Closing only hides the window; the program goes on in the tray.
  event->ignore();
  hide();
}

void TForm1::Button3Click() {
  hide();
}

void TForm1::Exit1Click() {
  emit ExitRequested();
}

void TForm1::Button1Click() {
  const QString folder =
      QFileDialog::getExistingDirectory(this, "Select a folder", QString(), QFileDialog::ShowDirsOnly);
  if (folder.isEmpty()) return;  // cancelled: the box keeps its text
  SaveFileName->setText(folder + "/");
}

void TForm1::Help2Click() {
  const QString address = VendorHomeUrl() + "/wavecrate-talk-radio-recorder/help.php";
  if (QDesktopServices::openUrl(QUrl(address))) return;
  // No browser could be started: say so, with the address to copy, in a box
  // that holds up nothing (recordings go on behind it).
  auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(paths_.Title),
                              "No web browser could be opened for the help page. Its address is\n" + address,
                              QMessageBox::Ok, isVisible() ? this : nullptr);
  box->setObjectName("HelpNotOpened");
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setTextInteractionFlags(Qt::TextSelectableByMouse);
  box->setModal(false);
  box->show();
}

void TForm1::Label12MouseDown() {
  QDesktopServices::openUrl(QUrl(VendorHomeUrl()));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress && watched->objectName() == "Label12") {
    Label12MouseDown();
    return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::About1Click() {
  form3_->exec();
}

void TForm1::StartWithDesktop1Click(bool checked) {
  const std::string entry = AutostartEntryPath(TXdgEnvironment::FromProcess());
  try {
    SetAutostart(entry, paths_.ExePath, checked);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "wavecrate: Start with the Desktop could not be %s: %s\n",
                 checked ? "switched on" : "switched off", e.what());
  }
  if (auto* action = qobject_cast<QAction*>(sender())) action->setChecked(AutostartEnabled(entry));
}

void TForm1::MP31Click() {
  // Modal, with the event loop running: the timers keep ticking meanwhile.
  // Nothing is shown when no encoder can be made.
  ExecMp3ConfigDialog();
}

void TForm1::JoinShows1Click(bool checked) {
  if (controller_) controller_->SetJoinShowsUnderWay(checked);
}

void TForm1::Timer5Timer() {
  // Embedded pages answer their own script dialogs, so an error box can only
  // be a window of ours with this exact title; nothing else is touched.
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (w->isVisible() && w->windowTitle() == "Internet Explorer Script Error") w->close();
  }
}

void TForm1::IsVistaClick() {
  const bool vista = IsVista->isChecked();
  Warning->setVisible(vista);
  IsMute->setEnabled(!vista);
}

void TForm1::UpDown5Click(bool up) {
  auto* button = qobject_cast<TUpDown*>(sender());
  if (button == nullptr || button->Tag() < 0 || button->Tag() > 7) return;
  TTimeEdit* field = TimeEdits[button->Tag()];
  if (field) field->StepBy(up);
}

}  // namespace wavecrate
