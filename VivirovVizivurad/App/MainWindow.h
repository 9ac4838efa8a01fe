#pragma once
#include <QMainWindow>

#include <memory>

class QSettings;

namespace vivirov {

class ContentView;
class ContentViewModel;
class NavigationRouter;
class QuintoraViewModel;

// The application's one window: the shell over the app's router, or the
// engine console's stand-in when the environment asks for the console.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(NavigationRouter& router, bool consoleRoot = false, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Hands the window its chat controller once it is built.
    void attachController(QuintoraViewModel& vm);

    ContentView* contentView() const { return content_; }
    ContentViewModel* model() const { return model_; }

private:
    std::unique_ptr<QSettings> settings_;
    ContentViewModel* model_ = nullptr;
    ContentView* content_ = nullptr;
};

} // namespace vivirov
