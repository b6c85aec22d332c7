/* mirdu-bound-client: a client program bound to mirdu.dll at load time, by ordinal (it links
 * the import library made from by-ordinal.def), so the loader resolves every call it makes
 * through the ordinal slots of the export table before main runs. Built a second time as
 * mirdu-linked-client, linked by name with the build's own import library of mirdu.dll.
 *
 * It walks the typical run: enumerate until the end flag, close the enumeration, open host 0
 * id 0, write the bytes 0 to 255 to device address 0x1000, go, close, and returns with the
 * library still loaded, so the unload happens at process end. It prints nothing itself; its
 * exit status is 0 when every result was as expected and otherwise has one bit set for each
 * step that answered wrongly. */
#include <stdint.h>

#include "exports/mirdu.h"

int main(void)
{
    int wrong = 0;

    DeviceEntry entry = {-1, -1};
    if (KVTFindFirst(&entry) != MIRDU_FIND_FIRST_RESULT || entry.host != 0 || entry.id != 0)
        wrong |= 1 << 0;
    int entries = 1, more;
    do {
        more = KVTFindNext(0, &entry);
        entries++;
    } while (more && entries < 300);
    if (entries != 5 || entry.host != 0 || entry.id != 4)
        wrong |= 1 << 1;
    if (KVTFindClose() == 0) /* the console write succeeded under a terminal */
        wrong |= 1 << 2;

    if (KVTOpen(0, 0) != MIRDU_OPEN_RESULT)
        wrong |= 1 << 3;

    unsigned char block[256];
    for (int i = 0; i < 256; i++)
        block[i] = (unsigned char)i;
    if (KVTWrite(0, block, 0x1000, sizeof block) != sizeof block)
        wrong |= 1 << 4;

    if (KVTGo() != 1)
        wrong |= 1 << 5;
    if (KVTClose() == 0)
        wrong |= 1 << 6;
    return wrong;
}
