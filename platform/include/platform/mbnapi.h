// Placeholder: Mobile Broadband declarations are being written.
