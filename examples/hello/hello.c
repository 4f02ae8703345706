#include <stdio.h>

int main(void) {
    puts("hello from a distributed build");
    return 0;
}
