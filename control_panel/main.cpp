// Start-up of korvane_gui.
int main() { return 0; }
