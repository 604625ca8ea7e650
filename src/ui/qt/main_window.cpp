#include "ui/qt/main_window.h"

#include <time.h>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFile>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QStylePainter>

#include "search/text/texts.h"
#include "ui/qt/line_model.h"
#include "ui/qt/line_view.h"
#include "ui/qt/skin_style.h"
#include "ui/skin.h"
#include "ui/texts.h"

namespace quarvex::qt {

namespace {

using namespace std::chrono_literals;

// Idle pumping stays cheap: the toolkit is asked for events at most this often, and the search
// gets at least four times what a pump took, up to the longest wait that keeps the window
// answering.
constexpr auto kPumpInterval = 10ms;
constexpr auto kMostPumpInterval = 200ms;
// Batches of lines reach the view at least this far apart.
constexpr auto kMinBatchInterval = 100ms;
// The layout is drawn for a UI font 12 pixels high, ascent plus descent as Windows measures a
// font: its lines are List1's rows and its captions fit their buttons on one line.
constexpr int kLayoutFontHeight = 12;

QString fromUtf8(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string toUtf8(const QString& s) {
    const QByteArray bytes = s.toUtf8();
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

QRect toQRect(const layout::Rect& r) {
    return {r.left, r.top, r.width, r.height};
}

QString controlText(layout::Id id) {
    return fromUtf8(layout::control(id).text);
}

// The status bar's one text panel: a fixed width it asks for, and a minimum it can shrink to.
class StatusPanel : public QLabel {
  public:
    explicit StatusPanel(const QString& text) : QLabel(text) {
        setMinimumWidth(layout::toPixels(layout::kStatusPanelMinWidthTwips, 96));
        // The classic inset text panel.
        setFrameStyle(QFrame::Panel | QFrame::Sunken);
        setIndent(4);
    }
    QSize sizeHint() const override {
        return {layout::toPixels(layout::kStatusPanelWidthTwips, 96), QLabel::sizeHint().height()};
    }
};

// A button whose caption wraps onto a second line when it is wider than the button, as a
// Windows command button's does (in the layout's font every caption fits on one).
class WrappingButton : public QPushButton {
  public:
    WrappingButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString caption = option.text;
        option.text.clear();
        painter.drawControl(QStyle::CE_PushButton, option);
        const QRect area = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this);
        painter.drawItemText(area, Qt::AlignCenter | Qt::TextWordWrap, option.palette, isEnabled(),
                             caption, QPalette::ButtonText);
    }
};

// The platform's UI font at the largest size whose lines are no taller than the layout's (a font
// set to 12 pixels is 14 high with its ascent and descent).
QFont layoutFont() {
    QFont font = QApplication::font();
    for (int pixels = kLayoutFontHeight; pixels > 1; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetrics(font).height() <= kLayoutFontHeight) break;
    }
    return font;
}

// The search pumps before every folder and every line, hundreds of thousands of times: whether
// a pump is due is read from the clock the system keeps at its tick (a few milliseconds, well
// under the pump's interval), a sixth of the cost of reading the steady clock itself. Both count
// from the same start.
std::chrono::steady_clock::time_point coarseNow() {
#if defined(CLOCK_MONOTONIC_COARSE)
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0)
        return std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec)));
#endif
    return std::chrono::steady_clock::now();
}

QIcon programIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        const QString file = QStringLiteral(":/quarvex/quarvex-%1.png").arg(size);
        if (QFile::exists(file)) icon.addFile(file, QSize(size, size));
    }
    return icon;
}

}  // namespace

MainWindow::MainWindow(Platform& platform, QWidget* parent)
    : QWidget(parent), form_(*this, platform) {
    setObjectName(QStringLiteral("Form1"));
    setAttribute(Qt::WA_StyledBackground);
    // Icon, system menu and close box; no minimize or maximize box.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setWindowTitle(QString::fromUtf8(texts::kProductCaption));
    setWindowIcon(programIcon());
    setFont(layoutFont());
    resize(layout::toPixels(layout::kClientWidthTwips, 96),
           layout::toPixels(layout::kClientHeightTwips, 96));
    buildControls();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    using layout::Id;
    // Children are created back to front: a later sibling is stacked in front of an earlier one.
    frame3_ = new QGroupBox(controlText(Id::Frame3), this);
    frame2_ = new QGroupBox(controlText(Id::Frame2), this);
    frame1_ = new QGroupBox(controlText(Id::Frame1), this);
    text1_ = new QLineEdit(controlText(Id::Text1), this);
    combo1_ = new QComboBox(this);
    command_[1] = new WrappingButton(controlText(Id::Command2), this);
    command_[0] = new WrappingButton(controlText(Id::Command1), this);
    statusBar1_ = new QStatusBar(this);
    text2_ = new QPlainTextEdit(this);

    label1_ = new QLabel(controlText(Id::Label1), frame2_);
    command_[2] = new WrappingButton(controlText(Id::Command3), frame3_);
    command_[3] = new WrappingButton(controlText(Id::Command4), frame3_);
    command_[4] = new WrappingButton(controlText(Id::Command5), frame3_);
    list1_ = new LineView(frame1_);

    combo1_->setEditable(false);
    combo1_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);

    model_ = new LineModel(this);
    list1_->setModel(model_);
    list1_->setUniformItemSizes(true);
    list1_->setSelectionMode(QAbstractItemView::SingleSelection);
    list1_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Rows are as wide as the view; a long path gives up its middle, not its name and size.
    list1_->setTextElideMode(Qt::ElideMiddle);
    list1_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);

    statusBar1_->setSizeGripEnabled(false);
    statusPanel_ = new StatusPanel(controlText(Id::StatusBar1));
    statusBar1_->addWidget(statusPanel_);

    text2_->setPlainText(controlText(Id::Text2));
    // Never seen, so never typed into: the help box shows it as written.
    text2_->setReadOnly(true);
    text2_->setFocusPolicy(Qt::StrongFocus);
    text2_->setTabChangesFocus(true);

    for (QPushButton* button : command_) button->setAutoDefault(true);
    command_[0]->setDefault(true);

    for (const layout::Control& c : layout::kControls) {
        QWidget* w = control(c.id);
        w->setObjectName(QString::fromLatin1(c.name.data(), static_cast<qsizetype>(c.name.size())));
        QRect r = toQRect(layout::clientRect(c.id, 96));
        if (c.container != Id::None)
            r.translate(-toQRect(layout::clientRect(c.container, 96)).topLeft());
        w->setGeometry(r);
    }
    // The label sizes itself to its caption.
    label1_->resize(label1_->sizeHint().expandedTo(label1_->size()));

    const auto order = layout::focusOrder();
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        QWidget::setTabOrder(control(order[i]), control(order[i + 1]));

    connect(command_[0], &QPushButton::clicked, this, &MainWindow::onCommand1);
    connect(command_[1], &QPushButton::clicked, this, [this] { form_.Command2_Click(); });
    connect(command_[2], &QPushButton::clicked, this, [this] { form_.Command3_Click(); });
    connect(command_[3], &QPushButton::clicked, this, [this] { form_.Command4_Click(); });
    connect(command_[4], &QPushButton::clicked, this, [this] { form_.Command5_Click(); });
    connect(list1_, &LineView::doubleClicked, this, &MainWindow::onListDoubleClicked);
    connect(list1_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                // The user moved the selection; it counts until the search selects again.
                selected_ = current.isValid() ? current.row() : -1;
                selectionPending_ = false;
            });
}

QWidget* MainWindow::control(layout::Id id) const {
    using layout::Id;
    switch (id) {
        case Id::Frame1:
            return frame1_;
        case Id::Frame2:
            return frame2_;
        case Id::Frame3:
            return frame3_;
        case Id::Combo1:
            return combo1_;
        case Id::Label1:
            return label1_;
        case Id::Text1:
            return text1_;
        case Id::Command1:
            return command_[0];
        case Id::Command2:
            return command_[1];
        case Id::Command3:
            return command_[2];
        case Id::Command4:
            return command_[3];
        case Id::Command5:
            return command_[4];
        case Id::List1:
            return list1_;
        case Id::StatusBar1:
            return statusBar1_;
        case Id::Text2:
            return text2_;
        case Id::None:
            break;
    }
    return nullptr;
}

void MainWindow::load() {
    form_.Form_Load();
    applySkin();
    centre();
    list1_->setFocus();
}

void MainWindow::centre() {
    // Before the first show the frame is not known yet; showEvent centres again with it.
    const QRect screenArea = screen()->availableGeometry();
    const QSize outer = frameGeometry().size();
    move(screenArea.left() + (screenArea.width() - outer.width()) / 2,
         screenArea.top() + (screenArea.height() - outer.height()) / 2);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shown_) {
        shown_ = true;
        centre();
    }
}

void MainWindow::applySkin() {
    const Skin* skin = activeSkin();
    setStyleSheet(skin != nullptr ? skinStyleSheet(*skin) : QString());
}

void MainWindow::clearSizingBorder() {
    setFixedSize(size());
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
}

std::string MainWindow::text2() const {
    QString text = text2_->toPlainText();
    text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    return toUtf8(text);
}

void MainWindow::unload() {
    unloaded_ = true;
    hide();
    emit unloadRequested();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (unloaded_) {
        event->accept();
        return;
    }
    // Form_QueryUnload decides; when it confirms, unload() has already hidden the window.
    event->ignore();
    int cancel = 0;
    form_.Form_QueryUnload(cancel);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        command_[0]->isEnabled()) {
        command_[0]->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::onCommand1() {
    if (searching_) return;
    searching_ = true;
    form_.Command1_Click();
    searching_ = false;
    publishPending();
}

void MainWindow::onListDoubleClicked(const QModelIndex& index) {
    // The line under the pointer is the one meant, even if a batch moved the selection since.
    selected_ = index.row();
    selectionPending_ = true;
    publishPending();
    form_.List1_DblClick();
}

void MainWindow::publishPending() {
    if (unloaded_) return;
    if (model_->hasUnpublished()) model_->publish();
    lastPublish_ = Clock::now();
    if (selectionPending_) {
        selectionPending_ = false;
        if (selected_ >= 0 && selected_ < model_->rowCount()) {
            const QModelIndex index = model_->index(static_cast<int>(selected_));
            list1_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
            list1_->scrollTo(index);
        }
    }
    if (captionPending_) {
        captionPending_ = false;
        setWindowTitle(fromUtf8(caption_));
    }
}

void MainWindow::setCaption(const std::string& text) {
    caption_ = text;
    captionPending_ = true;
    // A search names every folder it enters; the title bar follows at the pump's pace.
    if (!searching_) publishPending();
}

bool MainWindow::command1Enabled() const {
    return command_[0]->isEnabled();
}
void MainWindow::setCommand1Enabled(bool enabled) {
    command_[0]->setEnabled(enabled);
}
bool MainWindow::command2Enabled() const {
    return command_[1]->isEnabled();
}
void MainWindow::setCommand2Enabled(bool enabled) {
    command_[1]->setEnabled(enabled);
}

void MainWindow::comboAdd(const std::string& entry) {
    // The bytes stay as given: a mount point need not be valid UTF-8.
    combo1_->addItem(fromUtf8(entry),
                     QByteArray(entry.data(), static_cast<qsizetype>(entry.size())));
}

std::size_t MainWindow::comboCount() const {
    return static_cast<std::size_t>(combo1_->count());
}

std::string MainWindow::comboEntry(std::size_t index) const {
    const QByteArray bytes = combo1_->itemData(static_cast<int>(index)).toByteArray();
    return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

std::string MainWindow::comboText() const {
    const int index = combo1_->currentIndex();
    return index < 0 ? std::string() : comboEntry(static_cast<std::size_t>(index));
}

bool MainWindow::setComboText(const std::string& text) {
    const std::ptrdiff_t index = findComboEntry(*this, text);
    if (index < 0) return false;
    combo1_->setCurrentIndex(static_cast<int>(index));
    return true;
}

std::string MainWindow::text1() const {
    return toUtf8(text1_->text());
}
void MainWindow::setText1(const std::string& text) {
    text1_->setText(fromUtf8(text));
}

void MainWindow::listClear() {
    model_->clear();
    batchInterval_ = kMinBatchInterval;
    selected_ = -1;
    selectionPending_ = false;
}

void MainWindow::listAdd(std::string_view line) {
    model_->append(line);
    if (!searching_) publishPending();
}

std::size_t MainWindow::listCount() const {
    return model_->store().size();
}

void MainWindow::listSelect(std::size_t index) {
    if (index >= listCount()) return;
    selected_ = static_cast<std::ptrdiff_t>(index);
    selectionPending_ = true;
    if (!searching_) publishPending();
}

std::ptrdiff_t MainWindow::listSelectedIndex() const {
    return selected_;
}

std::string MainWindow::listLine(std::size_t index) const {
    if (index >= listCount()) return {};
    return std::string(model_->store().at(index));
}

int MainWindow::messageBox(BoxKind kind, const std::string& text) {
    const bool yesNo = asksYesNo(kind);
    if (unloaded_) return yesNo ? kIdNo : kIdOk;
    // The list is complete and the caption current before the box holds the user's attention.
    publishPending();
    QMessageBox box(QMessageBox::Information, fromUtf8(texts::kBoxTitle), fromUtf8(text),
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, this);
    box.setDefaultButton(yesNo ? QMessageBox::Yes : QMessageBox::Ok);
    const int result = box.exec();
    if (result == QMessageBox::Yes) return kIdYes;
    if (result == QMessageBox::No) return kIdNo;
    return kIdOk;
}

void MainWindow::pumpEvents() {
    if (unloaded_) return;
    if (coarseNow() < nextPump_) return;
    const auto now = Clock::now();
    const bool batch = now - lastPublish_ >= batchInterval_;
    if (batch) {
        publishPending();
    } else if (captionPending_) {
        captionPending_ = false;
        setWindowTitle(fromUtf8(caption_));
    }
    QCoreApplication::processEvents();
    const auto done = Clock::now();
    const auto took = done - now;
    // A batch repaints the view, which a slow display makes dear: the next one waits four
    // times what this one took.
    if (batch) batchInterval_ = std::max<Clock::duration>(kMinBatchInterval, 4 * took);
    nextPump_ = done + std::clamp<Clock::duration>(4 * took, kPumpInterval, kMostPumpInterval);
}

}  // namespace quarvex::qt
