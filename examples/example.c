/* kelvo example: what an application does with the library. */
#include <stdio.h>

#include "kelvo/kelvo.h"

int main(void) {
    printf("kelvo example\n");
    return 0;
}
