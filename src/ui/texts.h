// The window's own texts, used exactly as they stand.
#pragma once

#include "search/text/texts.h"

namespace quarvex::texts {

inline constexpr char kFrame1[] = "搜索项目";
inline constexpr char kFrame2[] = "搜索设置";
inline constexpr char kFrame3[] = "操作栏";
inline constexpr char kLabel1[] = "文件名:";
inline constexpr char kText1Initial[] = "*.*";
inline constexpr char kCommand1[] = "开始搜索";
inline constexpr char kCommand2[] = "停止搜索";
inline constexpr char kCommand3[] = "访问Orlune博客";
inline constexpr char kCommand4[] = "软件说明";
inline constexpr char kCommand5[] = "退出程序";
inline constexpr char kConfirmExit[] = "您确定退出本程序吗?";
inline constexpr char kCopyright[] = "Copyright (C) 2010-2026 ZorvikOrlune  版权所有";
inline constexpr char kWebPage[] = "http://www.orlune.com/";
inline constexpr char kSkinFileName[] = "/skinh.she";

// Eleven lines, each ended by CR LF.
inline constexpr char kHelpText[] =
    "=========================\r\n"
    "一款可以快速搜索计算机中文件的小工具\r\n"
    "要比计算机自带的搜索功能快的多的多哦\r\n"
    "=========================\r\n"
    "1、先在列表中选择要搜索的硬盘\r\n"
    "2、然后输入文件名进行搜索即可\r\n"
    "3、双击列表项可直接运行该文件\r\n"
    "====================\r\n"
    "编写完成日期:2010.08.01\r\n"
    "作者: ZorvikOrlune  欢迎访问Orlune博客\r\n"
    "====================\r\n";

}  // namespace quarvex::texts
