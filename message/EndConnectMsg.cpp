#include "message/EndConnectMsg.h"

namespace YNet2 {

EndConnectMsg::EndConnectMsg() {
    SetHead(4, 0, 0, false, false, false);
}

} // namespace YNet2
