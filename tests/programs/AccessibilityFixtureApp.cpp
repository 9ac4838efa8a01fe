// A small window for the Accessibility tests: buttons whose titles differ
// only in case or by a suffix, a text field, a status label the buttons
// write to (its text is its accessible name), and a nested block of about 400 labels.
#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

int main(int argc, char** argv) {
    qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("axfixture"));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("AX Fixture"));
    auto* content = new QWidget;
    window.setCentralWidget(content);
    auto* layout = new QVBoxLayout(content);
    auto* status = new QLabel(QStringLiteral("idle"));
    for (const char* title : {"OK", "ok", "Save", "Save As…"}) {
        auto* button = new QPushButton(QString::fromUtf8(title));
        QObject::connect(button, &QPushButton::clicked, status,
                         [status, title] { status->setText(QStringLiteral("pressed ") + QString::fromUtf8(title)); });
        layout->addWidget(button);
    }
    auto* field = new QLineEdit;
    field->setAccessibleName(QStringLiteral("Query"));
    layout->addWidget(field);
    layout->addWidget(status);

    auto* tree = new QGroupBox(QStringLiteral("Tree"));
    auto* treeLayout = new QVBoxLayout(tree);
    for (int i = 0; i < 4; ++i) {
        auto* group = new QGroupBox(QStringLiteral("Group %1").arg(i));
        auto* groupLayout = new QVBoxLayout(group);
        for (int j = 0; j < 4; ++j) {
            auto* sub = new QGroupBox(QStringLiteral("Group %1.%2").arg(i).arg(j));
            auto* subLayout = new QVBoxLayout(sub);
            for (int k = 0; k < 24; ++k) subLayout->addWidget(new QLabel(QStringLiteral("Item %1.%2.%3").arg(i).arg(j).arg(k)));
            groupLayout->addWidget(sub);
        }
        treeLayout->addWidget(group);
    }
    // Scrolled, so the window may be made smaller than the whole block.
    auto* scroll = new QScrollArea;
    scroll->setWidget(tree);
    scroll->setWidgetResizable(true);
    layout->addWidget(scroll);
    window.resize(400, 300);
    window.show();
    return app.exec();
}
