/* The public header must compile as strict C99. */
#include "kelvo/kelvo.h"

int main(void) { return 0; }
