#pragma once
// Section and key names of "config.ini" as they stand in the file: GBK bytes.
// The UTF-8 spelling of each name is in its comment.

namespace ConfigKeys {

// Sections.
inline constexpr const char kLocalServer[] =
    "\xB1\xBE\xB5\xD8\xB7\xFE\xCE\xF1\xC6\xF7";                                 // 本地服务器
inline constexpr const char kPeerSystem[] = "\xBB\xA5\xC1\xAA\xCF\xB5\xCD\xB3"; // 互联系统
inline constexpr const char kMediaReceiver[] =
    "\xC3\xBD\xCC\xE5\xBD\xD3\xCA\xD5\xD5\xDF";                                 // 媒体接收者
inline constexpr const char kPtzControl[] = "\xD4\xC6\xCC\xA8\xBF\xD8\xD6\xC6"; // 云台控制
inline constexpr const char kMediaServer[] =
    "\xC3\xBD\xCC\xE5\xB7\xFE\xCE\xF1\xC6\xF7"; // 媒体服务器

// Keys.
inline constexpr const char kProtocol[] = "\xD0\xAD\xD2\xE9";                        // 协议
inline constexpr const char kId[] = "ID";                                            // ID
inline constexpr const char kDomain[] = "\xD3\xF2";                                  // 域
inline constexpr const char kAddress[] = "\xB5\xD8\xD6\xB7";                         // 地址
inline constexpr const char kPort[] = "\xB6\xCB\xBF\xDA";                            // 端口
inline constexpr const char kPassword[] = "\xC3\xDC\xC2\xEB";                        // 密码
inline constexpr const char kRegisterTime[] = "\xD7\xA2\xB2\xE1\xCA\xB1\xBC\xE4";    // 注册时间
inline constexpr const char kHeartbeatPeriod[] = "\xD0\xC4\xCC\xF8\xD6\xDC\xC6\xDA"; // 心跳周期
inline constexpr const char kDownloadSpeed[] = "\xCF\xC2\xD4\xD8\xCB\xD9\xB6\xC8";   // 下载速度
inline constexpr const char kPtzAddress[] = "\xB5\xD8\xD6\xB7\xCE\xBB";              // 地址位
inline constexpr const char kSpeed[] = "\xCB\xD9\xB6\xC8";                           // 速度

} // namespace ConfigKeys
