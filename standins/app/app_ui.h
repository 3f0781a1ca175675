#ifndef STANDINS_APP_APP_UI_H_
#define STANDINS_APP_APP_UI_H_

// The application's widgets inside the Flutter view: a title, one row per
// figure the program shows, and the program's buttons. Main thread only.

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <string>

namespace standin_app {

class AppUi {
 public:
  using ClickHandler = std::function<void(const std::string& name)>;

  // Lays the widgets out in `view` (borrowed; the view owns them).
  AppUi(GtkWidget* view, ClickHandler on_click);
  AppUi(const AppUi&) = delete;
  AppUi& operator=(const AppUi&) = delete;

  void set_title(const std::string& text);
  // Sets the row `name`, adding it below the others on first use.
  void show_field(const std::string& name, const std::string& text);
  // Adds the button `name` with `label`, or relabels it.
  void add_button(const std::string& name, const std::string& label);
  // Presses the button `name` as the user would; false when there is none.
  bool click(const std::string& name);

  // The window the view lives in, or NULL.
  GtkWindow* toplevel() const;
  void show_window();
  void close_window();

 private:
  static void on_button_clicked(GtkButton* button, gpointer user_data);

  GtkWidget* view_;
  GtkWidget* title_;
  GtkWidget* fields_grid_;
  GtkWidget* button_box_;
  int field_count_ = 0;
  std::map<std::string, GtkWidget*> fields_;   // value labels, owned by the grid
  std::map<std::string, GtkWidget*> buttons_;  // owned by the button box
  ClickHandler on_click_;
};

}  // namespace standin_app

#endif  // STANDINS_APP_APP_UI_H_
