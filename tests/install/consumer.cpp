// Another module's view of the link: built from the installed tree with nothing but
// `pkg-config --cflags --libs vesperolink`, it queues a command through the exported entry and
// finds it in the exported table.
#include <cstdio>

#include "link/ups_link.h"

int main() {
    const int slot = MainUps[0].ringWrite;
    if (KeybCommand(KEYB_RECHARGE, 0, 0, 0) != 1) {
        std::puts("KeybCommand did not return 1");
        return 1;
    }
    if (MainUps[0].ring[slot] != CMD_RECHARGE || MainUps[0].ringWrite == slot) {
        std::printf("ring slot %d holds %d, not CMD_RECHARGE\n", slot, MainUps[0].ring[slot]);
        return 1;
    }
    std::puts("consumer: KeybCommand queued CMD_RECHARGE in MainUps[0]");
    return 0;
}
