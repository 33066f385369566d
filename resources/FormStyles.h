#ifndef FORMSTYLES_H
#define FORMSTYLES_H

// Style sheets of the main window's form; the texts are part of the look the
// maker ships, so they are kept byte for byte.
namespace FormStyles {

inline constexpr char Window[] = "background-color: rgb(246, 246, 246);";

inline constexpr char StartButton[] = "border:none;\n"
                                      "background-color: rgba(0, 0, 0, 77);\n"
                                      "font:14px;\n"
                                      "font: 11pt \"Segoe UI\";";

inline constexpr char ExportButton[] = "QPushButton\n"
                                       "{\n"
                                       "border:none;\n"
                                       "background-color: rgba(0, 0, 0, 77);\n"
                                       "font:14px;\n"
                                       "font: 11pt \"Segoe UI\";\n"
                                       "}\n"
                                       "\n"
                                       "QPushButton::disabled\n"
                                       "{\n"
                                       "border:none;\n"
                                       "background-color: rgba(0, 0, 0, 51);\n"
                                       "font:14px;\n"
                                       "font: 11pt \"Segoe UI\";\n"
                                       "}";

inline constexpr char MessageLabel[] = "font-size:14px;\n"
                                       "font: 11pt \"Segoe UI\";";

inline constexpr char IconFile[] = "./OrvanaLogo.ico";

} // namespace FormStyles

#endif // FORMSTYLES_H
