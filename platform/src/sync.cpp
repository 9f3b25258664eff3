// Placeholder: this API family is being written.
