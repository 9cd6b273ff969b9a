// bladeboot: the blade's boot-time launcher and rescue console.
#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"
#include "mgmt.h"
#include "rescue.h"

#include <cstdio>

int main() {
    sig_init();
    api_i2c_init();
    api_flash_init();
    parse_uboot_env();
    api_run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    remove_staged_slots();

    if (rescue_enable)
        run_rescue_mode();
    if (standalone_diags)
        run_standalone_diags();

    const int slot = which_image();
    if (gdbserver_enable)
        mgmt_port_setup(1);
    printf("Booting image '%d'\n", slot);
    extract_image(slot);

    const int alternate = slot == 1 ? 2 : 1;
    printf("Booting image '%d'\n", alternate);
    tried_alt_image = 1;
    extract_image(alternate);
    board_reset();
}
