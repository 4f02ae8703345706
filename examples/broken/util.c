int twice(int value) {
    int unused;
    return value * 2 + missing_value;
}
