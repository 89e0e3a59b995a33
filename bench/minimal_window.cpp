// The baseline for start-up time and memory: a Qt application with one plain widget the
// size of Velomire's window. Prints "first-paint <monotonic ns>" when its first paint
// begins, on the clock the start-up benchmark stamps its exec with.
//
// --text adds one line of text, which makes Qt load its fonts: that cost is in every
// real window, and the plain widget never pays it.
#include <QApplication>
#include <QLabel>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

class Window final : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override {
        if (!painted_) {
            painted_ = true;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("first-paint %lld\n",
                        static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
            std::fflush(stdout);
        }
        QPainter p(this);
        p.fillRect(rect(), palette().window());
    }

private:
    bool painted_ = false;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    Window window;
    window.setWindowTitle(QStringLiteral("minimal"));
    window.setFixedSize(725, 358);
    if (argc > 1 && std::strcmp(argv[1], "--text") == 0)
        (new QLabel(QStringLiteral("Velocity curve of the active key"), &window))->move(10, 10);
    window.show();
    return QApplication::exec();
}
