#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv); // placeholder until start-up lands
    return 0;
}
