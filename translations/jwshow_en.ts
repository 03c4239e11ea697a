<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>About</name>
    <message>
        <location filename="../src/ui/about.ui" line="55"/>
        <source>手机遥控演示电脑</source>
        <translation>Phone remote control for presentations</translation>
    </message>
    <message>
        <location filename="../src/ui/about.ui" line="63"/>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <location filename="../src/ui/about.cpp" line="26"/>
        <source>官网：</source>
        <translation>Website: </translation>
    </message>
</context>
<context>
    <name>Application</name>
    <message>
        <location filename="../src/app/application.cpp" line="195"/>
        <source>系统启动网络服务器失败。</source>
        <translation>The network server could not be started.</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="201"/>
        <source>默认端口已经被占用,系统自动更改为%1</source>
        <translation>The configured port is in use; port %1 is used instead.</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="281"/>
        <source>重启服务失败。请重新修改端口号,再启动。</source>
        <translation>The service could not be restarted. Please choose another port and apply again.</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="294"/>
        <source>重启服务成功。</source>
        <translation>Service restarted.</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="343"/>
        <source>应用成功</source>
        <translation>Applied</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="267"/>
        <source>主屏幕（默认）</source>
        <translation>Primary screen (default)</translation>
    </message>
    <message>
        <location filename="../src/app/application.cpp" line="283"/>
        <source>%1（未连接）</source>
        <translation>%1 (not connected)</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="20"/>
        <source>常规</source>
        <translation>General</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="23"/>
        <source>计算机名：</source>
        <translation>Host:</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="31"/>
        <source>本机机IP：</source>
        <translation>IP:</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="38"/>
        <source>端口：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="69"/>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="72"/>
        <source>服务端口号：</source>
        <translation>Service port:</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="79"/>
        <source>是否开机自动运行</source>
        <translation>Start when I log in</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="83"/>
        <source>是否自动全屏 </source>
        <translation>Full screen automatically</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="87"/>
        <source>启动时最小化到托盘</source>
        <translation>Start hidden in the tray</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="91"/>
        <source>只允许输入配对码的手机</source>
        <translation>Only phones that give the pairing code</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.ui" line="99"/>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="56"/>
        <source>点击快速指南,获取主控端APP</source>
        <translation>Quick guide: get the phone app</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="61"/>
        <source>手机遥控</source>
        <translation>Phone remote</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="66"/>
        <source>网页端口：%1</source>
        <translation>Web port: %1</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="67"/>
        <source>网页遥控未启动</source>
        <translation>Browser remote off</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="109"/>
        <source>手机连接：只允许输入配对码的手机</source>
        <translation>Phones: only those that give the pairing code</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="110"/>
        <source>手机连接：任何手机均可连接</source>
        <translation>Phones: any phone may connect</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="140"/>
        <source>退出</source>
        <translation>Quit</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="141"/>
        <source>显示主窗体</source>
        <translation>Show main window</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="142"/>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="143"/>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="176"/>
        <source>没有系统托盘：关闭窗口只会最小化</source>
        <translation>No tray: closing minimises</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="198"/>
        <source>断开连接</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="203"/>
        <source>用户名</source>
        <translation>User name</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="284"/>
        <source>端口号不能为空。请输入</source>
        <translation>The port cannot be empty. Please enter one.</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="288"/>
        <source>是否确定更改通讯端口并自动重启服务程序?</source>
        <translation>Change the port and restart the service?</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="78"/>
        <source>演示屏幕：</source>
        <translation>Show screen:</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="101"/>
        <source>Wayland 会话：指针、翻页键和分辨率无效，登录时选择 X11 会话即可</source>
        <translation>Wayland: pointer, slide keys and resolution do not work; log in to X11</translation>
    </message>
    <message>
        <location filename="../src/ui/mainwindow.cpp" line="277"/>
        <source>帮助页面由网页遥控提供，但网页遥控未能启动（端口被占用）。</source>
        <translation>The help page is served by the browser remote, which could not start (its port is in use).</translation>
    </message>
</context>
<context>
    <name>MessageBox</name>
    <message>
        <location filename="../src/ui/messagebox.cpp" line="19"/>
        <location filename="../src/ui/messagebox.cpp" line="36"/>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <location filename="../src/ui/messagebox.cpp" line="39"/>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>WebRemotePanel</name>
    <message>
        <location filename="../src/ui/webremotepanel.cpp" line="14"/>
        <source>配对码</source>
        <translation>Pairing code</translation>
    </message>
    <message>
        <location filename="../src/ui/webremotepanel.cpp" line="21"/>
        <source>用手机相机扫描二维码，在浏览器中遥控本机（手机与本机在同一网络）。</source>
        <translation>Scan the QR code with a phone's camera to control this computer from the phone's browser (the phone must be on the same network).</translation>
    </message>
    <message>
        <location filename="../src/ui/webremotepanel.cpp" line="75"/>
        <source>网页遥控未能启动：端口被占用。</source>
        <translation>The browser remote could not start: its port is in use.</translation>
    </message>
    <message>
        <location filename="../src/ui/webremotepanel.cpp" line="77"/>
        <source>未找到本机网络地址。</source>
        <translation>No network address of this computer was found.</translation>
    </message>
    <message>
        <location filename="../src/ui/webremotepanel.cpp" line="92"/>
        <source>配对已暂停，至 %1 恢复（一分钟内错误的配对码过多）</source>
        <translation>Pairing paused until %1 (too many wrong codes within a minute)</translation>
    </message>
</context>
</TS>
