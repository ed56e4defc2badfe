// Entry point: everything happens in the app layer's start-up routine.
#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    return 0;
}
