#pragma once

class Program;

// Copies the product name, company name and comments text (the website) of
// the version record into the branding values, and switches the skin on.
void InitBranding(Program& program);
