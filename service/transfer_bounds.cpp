#include "service/transfer_rules.h"

// A manifest is at most 1 MiB: 60 s is enough on any line that can carry a
// game build, and two stalled manifests in a row still leave the stored build
// starting within 150 s of the launcher's start. The header wait matches
// WinHTTP's receive timeout, which Windows (not Wine) applies to it. A build
// may be large and the line slow, so a download has no total limit, only a
// floor rate of 64 KiB a minute that any moving line keeps; WinHTTP's wait
// for a piece of its body ends inside that window, so a silent line counts as
// stalled (not as broken and tried again), and a download whose headers came
// fails within about 120 s of its start. The launcher's
// own download is a few MB and delays the game: it gets one minute in all,
// and a partial copy is resumed by the next start.
const TransferBounds& ActiveTransferBounds() {
    static const TransferBounds bounds{
        60000, 60000, 50000, 60000, 65536, 60000, {1000, 2000, 4000, 8000}};
    return bounds;
}
