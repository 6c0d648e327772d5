// The user interface: the program's pages on a loopback port, and the work of the
// windows they stand for.
//
//   web_interface.h  the HTTP server: start, stop, the address with the token
//   web_notifier.h   notices and questions shown in the pages
//   shell.h          what the pages need of the application (tray state, menu
//                    commands), installed as hooks by the application
//   add_to_list.h    adding an entry to the white or black lists, with the
//                    contradiction questions
//   options.h        the options: settings, ports, DNSBL lists, plug-ins, list files
//   plugin_pages.h   the pages plug-ins render for themselves
//   welcome.h        the first-run welcome: ports, scheme, extras
//   tray_icon.h      the tray icon on a desktop (StatusNotifierItem), with the menu
//
// Below HTTP, shared by these files only: web_api.h (the requests and their JSON)
// and web_pages.h (the pages' files built into the program from pages/).
#pragma once

#include "ui/add_to_list.h"
#include "ui/options.h"
#include "ui/plugin_pages.h"
#include "ui/shell.h"
#include "ui/tray_icon.h"
#include "ui/web_interface.h"
#include "ui/web_notifier.h"
#include "ui/welcome.h"
