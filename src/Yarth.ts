<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>Tonravel</name>
    <message>
        <source>Plovarin</source>
        <translation>普洛瓦林</translation>
    </message>
    <message>
        <source>&amp;Kill process</source>
        <translation>杀死进程（&amp;K）</translation>
    </message>
    <message>
        <source>Ctrl+K</source>
        <translation>Ctrl+K</translation>
    </message>
    <message>
        <source>S&amp;etting</source>
        <translation>设置（&amp;e）</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>退出（&amp;Q）</translation>
    </message>
    <message>
        <source>Ctrl+Q</source>
        <translation>Ctrl+Q</translation>
    </message>
    <message>
        <source>Parameters</source>
        <translation>参数</translation>
    </message>
    <message>
        <source>Audio input volume:</source>
        <translation>声音输入音量：</translation>
    </message>
    <message>
        <source>30</source>
        <translation>30</translation>
    </message>
    <message>
        <source>Sound source:</source>
        <translation>声音来源：</translation>
    </message>
    <message>
        <source>Receiver ip:</source>
        <translation>接收者IP：</translation>
    </message>
    <message>
        <source>Sta&amp;rt</source>
        <translation>启动（&amp;r）</translation>
    </message>
    <message>
        <source>Clear</source>
        <translation>清除</translation>
    </message>
    <message>
        <source>Service</source>
        <translation>服务</translation>
    </message>
    <message>
        <source>Log</source>
        <translation>日志</translation>
    </message>
    <message>
        <source>&amp;Yarth</source>
        <translation>亚斯（&amp;Y）</translation>
    </message>
    <message>
        <source>%1Hz</source>
        <translation>%1赫兹</translation>
    </message>
    <message>
        <source>Listen on a phone...</source>
        <translation>用手机收听…</translation>
    </message>
    <message>
        <source>No receiver found yet: run plovarin-player on a computer of this network</source>
        <translation>尚未找到接收者：请在本网络的一台电脑上运行 plovarin-player</translation>
    </message>
    <message>
        <source>Receiver found at %1</source>
        <translation>已找到接收者：%1</translation>
    </message>
    <message>
        <source>Streaming to %1</source>
        <translation>正在把声音传送到 %1</translation>
    </message>
    <message>
        <source>The receiver at %1 has gone</source>
        <translation>接收者 %1 已离开</translation>
    </message>
</context>
<context>
    <name>PipeDevice</name>
    <message>
        <source>ws://%1:14213</source>
        <translation>ws://%1:14213</translation>
    </message>
</context>
<context>
    <name>PhoneDialog</name>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Listen on a phone</source>
        <translation>用手机收听</translation>
    </message>
    <message>
        <source>Scan the code with the phone&apos;s camera, or type the address into its browser, and press Play on the page. The phone must be on the same network.</source>
        <translation>用手机相机扫描二维码，或在手机浏览器中输入这个地址，然后在网页上按“播放”。手机须连在同一个网络上。</translation>
    </message>
</context>
</TS>
