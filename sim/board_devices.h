// The device models of this board behind the address map: each model is
// attached to the installed board's map (and loads its persisted state from
// the board folder). Called once after a board is installed, by the host
// program and by the tests' board fixture.
#pragma once

namespace plat {
class Board;
}

void attachBoardDevices(plat::Board& board);
