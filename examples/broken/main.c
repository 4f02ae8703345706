#include <stdio.h>

int twice(int value);

int main(void) {
    printf("%d\n", twice(21));
    return 0;
}
