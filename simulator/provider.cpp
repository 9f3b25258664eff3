// Placeholder: the simulated service is being written.
