/* Placeholder until the preload shim is built. */
int boardsim_shim_placeholder(void);
int boardsim_shim_placeholder(void) { return 0; }
