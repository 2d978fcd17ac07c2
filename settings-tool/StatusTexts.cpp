#include "settings-tool/StatusTexts.h"

namespace cadmon {

namespace {

StatusText Either(bool condition, StatusText yes, StatusText no) { return condition ? yes : no; }

}  // namespace

std::vector<StatusText> StatusTexts(const protocol::PrinterStatus& status) {
    if (!status.known) return {kStatusNotKnownText};
    StatusText paper{"纸张: 正常", "paper: ok"};
    if (status.paperOut) {
        paper = {"纸张: 缺纸", "paper: out"};
    } else if (status.paperNearEnd) {
        paper = {"纸张: 将尽", "paper: near end"};
    }
    return {
        Either(status.online, {"打印机: 在线", "printer: online"}, {"打印机: 离线", "printer: offline"}),
        Either(status.coverOpen, {"上盖: 打开", "cover: open"}, {"上盖: 关闭", "cover: closed"}),
        paper,
        Either(status.drawerOpen, {"钱箱: 打开", "drawer: open"}, {"钱箱: 关闭", "drawer: closed"}),
        Either(status.cutterError, {"切刀: 错误", "cutter: error"}, {"切刀: 正常", "cutter: ok"}),
        Either(status.unrecoverableError, {"不可恢复错误: 有", "unrecoverable error: yes"},
               {"不可恢复错误: 无", "unrecoverable error: no"}),
        Either(status.recoverableError, {"可恢复错误: 有", "recoverable error: yes"},
               {"可恢复错误: 无", "recoverable error: no"}),
        Either(status.Ready(), {"就绪: 是", "ready: yes"}, {"就绪: 否", "ready: no"}),
    };
}

}  // namespace cadmon
