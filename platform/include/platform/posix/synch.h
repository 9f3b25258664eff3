// Placeholder: declarations of this API family are being written.
