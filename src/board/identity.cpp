#include "board/identity.h"

#include "platform/services.h"

namespace {
int boardId = 0;
STK_RESET_HOOK {
    boardId = 0;
}
}  // namespace

int bspBoardIdGet() {
    return boardId;
}
void bspBoardIdSet(int id) {
    boardId = id;
}
