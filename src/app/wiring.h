#pragma once
// How start-up connects the worker threads to the windows. The workers know no
// window: the dispatcher announces what it routes as its own signals and the log
// lines wait in a feed; these functions connect both to the windows.

class JWLOGUI;
class JWShowUi;
class MainWindow;
class paintViewManage;

void ConnectWorkers(JWShowUi* show, paintViewManage* paint, MainWindow* main);
void ConnectLogWindow(JWLOGUI* logUi);
// Nothing the workers still do reaches a window afterwards. Callable from any
// thread once ConnectWorkers has run (Qt connections are thread-safe).
void DisconnectWorkers();
