// The links to the maker's web pages and the buttons' hand cursor.
#pragma once

class CExButton;

extern const char product_page_address[];
extern const char tools_page_address[];

void open_product_page();
void open_tools_page();

// Gives the button a copy of the platform's hand cursor (cursor 106 of the
// help program), once.
void load_link_cursor(CExButton &button);
