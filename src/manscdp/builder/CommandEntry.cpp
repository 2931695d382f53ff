#include "manscdp/builder/CommandEntry.h"

namespace {

constexpr CommandEntry kSignalling[kSignallingRows] = {
    {1, "DeviceInfo", "信息查询"},
    {1, "DeviceStatus", "状态查询"},
    {1, "Catalog", "目录查询"},
    {4, "DeviceControl", "设备重启"},
    {4, "DeviceControl", "布防"},
    {4, "DeviceControl", "撤防"},
    {4, "DeviceControl", "报警复位"},
    {4, "DeviceConfig", "设备配置"},
    {1, "ConfigDownload", "设备配置获取"},
    {4, "DeviceConfig", "图像抓拍配置"},
    {4, "FTPSetting", "抓拍设置"},
    {1, "FTPInfo", "抓拍查询"},
    {1, "PresetQuery", "预置位查询"},
    {1, "CruiseTrackListQuery", "巡航轨迹列表查询"},
    {4, "SerialPortSetting", "串口设置"},
    {1, "SerialPortInfo", "串口查询"},
    {4, "TimeSetting", "时间设置"},
    {1, "TimeInfo", "时间查询"},
    {4, "TimeConfigSetting", "时间配置设置"},
    {1, "TimeConfigInfo", "时间配置查询"},
    {1, "DeviceInfo", "基本信息查询"},
    {4, "NetworkSetting", "网络设置"},
    {1, "NetworkInfo", "网络查询"},
    {4, "ChannelSetting", "通道设置"},
    {1, "ChannelInfo", "通道查询"},
    {4, "DeviceAlarmSetting", "报警设置"},
    {1, "DeviceAlarmInfo", "报警查询"},
    {4, "DisplaySetting", "显示设置"},
    {1, "DisplayInfo", "显示查询"},
    {4, "TextSetting", "文字设置"},
    {1, "TextInfo", "文字查询"},
    {4, "StorageSchemaSetting", "存储设置"},
    {1, "StorageSchemaInfo", "存储查询"},
    {4, "SwitchSetting", "开关量设置"},
    {1, "SwitchInfo", "开关量查询"},
    {4, "AudioEncoderSetting", "音频设置"},
    {1, "AudioEncoderInfo", "音频查询"},
    {4, "ImageEncoderSetting", "图像设置"},
    {1, "ImageEncoderInfo", "图像查询"},
    {7, "Alarm", "报警描述"},
    {7, "Catalog", "分类描述"},
    {2, "Alarm", "报警上报"},
    {2, "Catalog", "分类上报"},
    // Rows of the 2022 edition; their inputs and bodies: manscdp/gb2022.
    {4, "DeviceControl", "PTZ精准控制"},
    {4, "DeviceControl", "设备软件升级"},
    {4, "DeviceControl", "存储卡格式化"},
    {4, "DeviceControl", "目标跟踪"},
    {4, "DeviceControl", "看守位控制"},
    {1, "HomePositionQuery", "看守位查询"},
    {1, "CruiseTrackQuery", "巡航轨迹查询"},
    {1, "PTZPosition", "PTZ精准状态查询"},
    {1, "SDCardStatus", "存储卡状态查询"},
    {4, "DeviceConfig", "视频参数属性配置"},
    {4, "DeviceConfig", "录像计划配置"},
    {4, "DeviceConfig", "报警录像配置"},
    {4, "DeviceConfig", "视频画面遮挡配置"},
    {4, "DeviceConfig", "画面翻转配置"},
    {4, "DeviceConfig", "报警上报开关配置"},
    {4, "DeviceConfig", "前端OSD配置"},
};

// The media sets; a stream row's action is the media session's, every other
// row builds its body like a signalling row.
using A = MediaRowAction;
constexpr CommandEntry kMediaChannel[] = {
    {5, "Play", "实时点播", A::OpenLive},        {5, "BroadCast", "音频广播", A::OpenVoice},
    {5, "Dialog", "语音对讲", A::OpenVoice},     {1, "RecordInfo", "文件检索"},
    {4, "DeviceControl", "开始录像"}, {4, "DeviceControl", "停止录像"},
};

constexpr CommandEntry kMediaLive[] = {
    {5, "Play", "点播取消", A::CancelLive},
    {4, "DeviceControl", "向上"},
    {4, "DeviceControl", "向下"},
    {4, "DeviceControl", "向左"},
    {4, "DeviceControl", "向右"},
    {4, "DeviceControl", "放大"},
    {4, "DeviceControl", "缩小"},
    {4, "DeviceControl", "聚焦近"},
    {4, "DeviceControl", "聚焦远"},
    {4, "DeviceControl", "停止"},
    {4, "DeviceControl", "强制关键帧"},
    {4, "DeviceControl", "看守位设置"},
    {4, "DeviceControl", "设置预置点"},
    {4, "DeviceControl", "调用预置点"},
    {4, "DeviceControl", "删除预置点"},
    {4, "DeviceControl", "拖动放大"},
    {4, "DeviceControl", "拖动缩小"},
};

constexpr CommandEntry kMediaRecording[] = {
    {5, "Download", "文件下载", A::OpenDownload},
    {5, "Playback", "文件回放", A::OpenPlayback},
};

constexpr CommandEntry kMediaRecordingOpen[] = {
    {5, "Download", "下载取消", A::CancelDownload}, {5, "Playback", "回放取消", A::CancelPlayback},
    {6, "PLAY", "回放:播放", A::PlaybackControl},   {6, "PAUSE", "回放:暂停", A::PlaybackControl},
    {6, "PLAY", "回放:快进", A::PlaybackControl},   {6, "PLAY", "回放:慢进", A::PlaybackControl},
    {6, "PLAY", "回放:快退", A::PlaybackControl},   {6, "PLAY", "回放:慢退", A::PlaybackControl},
    {6, "PLAY", "回放:随机", A::PlaybackControl},
};

} // namespace

std::span<const CommandEntry> SignallingTable() { return kSignalling; }

std::span<const CommandEntry> MediaSet(int set) {
    switch (set) {
    case 0: return kMediaChannel;
    case 1: return kMediaLive;
    case 2: return kMediaRecording;
    case 3: return kMediaRecordingOpen;
    default: return {};
    }
}

const char* RootForKind(int kind) {
    switch (kind) {
    case kKindNotify: return "Notify";
    case kKindControl: return "Control";
    case kKindSubscribe: return "Subscribe";
    default: return "Query";
    }
}
