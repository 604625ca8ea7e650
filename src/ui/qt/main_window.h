// Form1 in Qt Widgets: the window's controls built from the layout table, adapted to the window
// operations the search and the window handlers perform.
#pragma once

#include <QWidget>
#include <chrono>
#include <string>

#include "search/os/platform.h"
#include "ui/form.h"
#include "ui/layout.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

namespace quarvex::qt {

class LineModel;
class LineView;

class MainWindow : public QWidget, public FormWindow {
    Q_OBJECT

  public:
    explicit MainWindow(Platform& platform, QWidget* parent = nullptr);
    ~MainWindow() override;

    Form1& form() { return form_; }
    // Runs the load handler, gives the window the skin it attached and centres it on the screen.
    void load();
    // The widget that stands for a control of the layout table.
    QWidget* control(layout::Id id) const;
    QLabel* statusPanel() const { return statusPanel_; }
    const LineModel& lines() const { return *model_; }
    bool unloaded() const { return unloaded_; }
    // Hands the view the lines, selection and caption held back for the next batch.
    void publishPending();

    // Window
    void setCaption(const std::string& text) override;
    bool command1Enabled() const override;
    void setCommand1Enabled(bool enabled) override;
    bool command2Enabled() const override;
    void setCommand2Enabled(bool enabled) override;
    void comboAdd(const std::string& entry) override;
    std::size_t comboCount() const override;
    std::string comboEntry(std::size_t index) const override;
    std::string comboText() const override;
    bool setComboText(const std::string& text) override;
    std::string text1() const override;
    void setText1(const std::string& text) override;
    void listClear() override;
    void listAdd(std::string_view line) override;
    std::size_t listCount() const override;
    void listSelect(std::size_t index) override;
    std::ptrdiff_t listSelectedIndex() const override;
    std::string listLine(std::size_t index) const override;
    int messageBox(BoxKind kind, const std::string& text) override;
    void pumpEvents() override;

    // FormWindow
    void clearSizingBorder() override;
    std::string text2() const override;
    void unload() override;

  signals:
    // The window has unloaded; the program's event loop should end.
    void unloadRequested();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    using Clock = std::chrono::steady_clock;

    void buildControls();
    void applySkin();
    void centre();
    void onCommand1();
    void onListDoubleClicked(const QModelIndex& index);

    Form1 form_;
    QGroupBox* frame1_ = nullptr;
    QGroupBox* frame2_ = nullptr;
    QGroupBox* frame3_ = nullptr;
    QComboBox* combo1_ = nullptr;
    QLabel* label1_ = nullptr;
    QLineEdit* text1_ = nullptr;
    QPushButton* command_[5] = {};
    LineView* list1_ = nullptr;
    QStatusBar* statusBar1_ = nullptr;
    QLabel* statusPanel_ = nullptr;
    QPlainTextEdit* text2_ = nullptr;
    LineModel* model_ = nullptr;

    // The selected line as the search and the user last set it; the view catches up per batch.
    std::ptrdiff_t selected_ = -1;
    bool selectionPending_ = false;
    std::string caption_;
    bool captionPending_ = false;
    bool searching_ = false;
    bool unloaded_ = false;
    bool shown_ = false;
    Clock::time_point nextPump_{};
    Clock::time_point lastPublish_{};
    Clock::duration batchInterval_{};  // from what the last batch cost; none before the first
};

}  // namespace quarvex::qt
