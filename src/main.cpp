// bladeboot: the blade's boot-time launcher and rescue console.
#include "flash.h"
#include "launch.h"

int main() {
    sig_init();
    api_flash_init();
    parse_uboot_env();
    api_run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    board_reset();
}
