#include "app_ui.h"

namespace standin_app {

namespace {

constexpr int kMargin = 24;

GtkWidget* new_label(const char* style_class) {
  GtkWidget* label = gtk_label_new(nullptr);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_selectable(GTK_LABEL(label), FALSE);
  if (style_class != nullptr) {
    gtk_style_context_add_class(gtk_widget_get_style_context(label), style_class);
  }
  return label;
}

}  // namespace

AppUi::AppUi(GtkWidget* view, ClickHandler on_click)
    : view_(view), on_click_(std::move(on_click)) {
  gtk_orientable_set_orientation(GTK_ORIENTABLE(view_), GTK_ORIENTATION_VERTICAL);
  gtk_box_set_spacing(GTK_BOX(view_), kMargin);
  gtk_container_set_border_width(GTK_CONTAINER(view_), kMargin);

  title_ = new_label("title");
  gtk_box_pack_start(GTK_BOX(view_), title_, FALSE, FALSE, 0);

  fields_grid_ = gtk_grid_new();
  gtk_grid_set_row_spacing(GTK_GRID(fields_grid_), 8);
  gtk_grid_set_column_spacing(GTK_GRID(fields_grid_), kMargin);
  gtk_box_pack_start(GTK_BOX(view_), fields_grid_, FALSE, FALSE, 0);

  button_box_ = gtk_button_box_new(GTK_ORIENTATION_HORIZONTAL);
  gtk_button_box_set_layout(GTK_BUTTON_BOX(button_box_), GTK_BUTTONBOX_START);
  gtk_box_set_spacing(GTK_BOX(button_box_), 12);
  gtk_box_pack_start(GTK_BOX(view_), button_box_, FALSE, FALSE, 0);
}

void AppUi::set_title(const std::string& text) {
  g_autofree gchar* markup = g_markup_printf_escaped("<big><b>%s</b></big>", text.c_str());
  gtk_label_set_markup(GTK_LABEL(title_), markup);
}

void AppUi::show_field(const std::string& name, const std::string& text) {
  auto found = fields_.find(name);
  if (found == fields_.end()) {
    GtkWidget* caption = new_label("dim-label");
    gtk_label_set_text(GTK_LABEL(caption), name.c_str());
    GtkWidget* value = new_label(nullptr);
    gtk_grid_attach(GTK_GRID(fields_grid_), caption, 0, field_count_, 1, 1);
    gtk_grid_attach(GTK_GRID(fields_grid_), value, 1, field_count_, 1, 1);
    ++field_count_;
    gtk_widget_show(caption);
    gtk_widget_show(value);
    found = fields_.emplace(name, value).first;
  }
  gtk_label_set_text(GTK_LABEL(found->second), text.c_str());
}

void AppUi::add_button(const std::string& name, const std::string& label) {
  auto found = buttons_.find(name);
  if (found != buttons_.end()) {
    gtk_button_set_label(GTK_BUTTON(found->second), label.c_str());
    return;
  }
  GtkWidget* button = gtk_button_new_with_label(label.c_str());
  gtk_widget_set_name(button, name.c_str());
  g_signal_connect(button, "clicked", G_CALLBACK(on_button_clicked), this);
  gtk_container_add(GTK_CONTAINER(button_box_), button);
  gtk_widget_show(button);
  buttons_.emplace(name, button);
}

bool AppUi::click(const std::string& name) {
  auto found = buttons_.find(name);
  if (found == buttons_.end()) return false;
  gtk_button_clicked(GTK_BUTTON(found->second));
  return true;
}

void AppUi::on_button_clicked(GtkButton* button, gpointer user_data) {
  auto* self = static_cast<AppUi*>(user_data);
  self->on_click_(gtk_widget_get_name(GTK_WIDGET(button)));
}

GtkWindow* AppUi::toplevel() const {
  GtkWidget* toplevel = gtk_widget_get_toplevel(view_);
  return GTK_IS_WINDOW(toplevel) ? GTK_WINDOW(toplevel) : nullptr;
}

void AppUi::show_window() {
  gtk_widget_show_all(view_);
  if (GtkWindow* window = toplevel()) gtk_widget_show(GTK_WIDGET(window));
}

void AppUi::close_window() {
  if (GtkWindow* window = toplevel()) gtk_widget_destroy(GTK_WIDGET(window));
}

}  // namespace standin_app
