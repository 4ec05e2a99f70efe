#include "mainwindow.h"

#include "ui_mainwindow.h"

namespace {
const char applicationVersion[] = "1.7";
}

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
{
    ui->setupUi(this);
    setWindowTitle(QString::asprintf("Temperature monitor configuration tool (%s)", applicationVersion));
}

MainWindow::~MainWindow()
{
    delete ui;
}
